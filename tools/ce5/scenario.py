"""A scenario: what an image holds and what its run must show.

    [scenario]
    modules = coredll.dll filesys.exe ...   ; from the module set, in this order
    files = vespertin.exe ...                ; ours, into \\Windows
    registry = daemon.reg                    ; after base.reg, beside this file
    folders = root:-Directory("Windows")     ; initobj.dat's lines, one per line
    checks = daemon.starts ...               ; what the run reports, in order
    end = ce5: scenario end                  ; the line that ends the run
    time limit = 300                         ; seconds of host time at most
"""
import configparser
import os

BASE_REGISTRY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "base.reg")
KEYS = {"modules", "files", "registry", "folders", "checks", "end", "time limit"}


class ScenarioError(Exception):
    pass


class Scenario:
    def __init__(self, path, section):
        self.path = path
        self.name = os.path.splitext(os.path.basename(path))[0]
        unknown = set(section) - KEYS
        if unknown:
            raise ScenarioError(f"{path}: unknown setting {sorted(unknown)[0]!r} (known: {', '.join(sorted(KEYS))})")
        for key in KEYS:
            if key not in section:
                raise ScenarioError(f"{path}: no '{key}' setting")
        here = os.path.dirname(os.path.abspath(path))
        self.modules = section["modules"].split()
        self.files = section["files"].split()
        self.registry = [BASE_REGISTRY] + [os.path.join(here, p) for p in section["registry"].split()]
        self.folders = [line.strip() for line in section["folders"].splitlines() if line.strip()]
        self.checks = section["checks"].split()
        self.end = section["end"].strip()
        try:
            self.time_limit = int(section["time limit"])
        except ValueError:
            raise ScenarioError(f"{path}: time limit {section['time limit']!r} is not a number of seconds") from None
        if not self.end or not self.checks or self.time_limit <= 0:
            raise ScenarioError(f"{path}: a scenario needs an end line, checks and a time limit above 0")
        if len(set(self.checks)) != len(self.checks):
            raise ScenarioError(f"{path}: a check is listed twice")


def load(path):
    parser = configparser.ConfigParser(interpolation=None, inline_comment_prefixes=(";",))
    parser.optionxform = str.lower
    try:
        with open(path, encoding="utf-8") as text:
            parser.read_file(text)
    except OSError as error:
        raise ScenarioError(f"{path}: {error.strerror}") from None
    except configparser.Error as error:
        raise ScenarioError(f"{path}: {error.message.splitlines()[0]}") from None
    if parser.sections() != ["scenario"]:
        raise ScenarioError(f"{path}: needs exactly one section, [scenario]")
    return Scenario(path, parser["scenario"])
