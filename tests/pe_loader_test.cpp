// The simulated device's loader of PE files, on the device's own ARM files
// (ctest --preset armv4i gives their folder): libraries by name and ordinal,
// their path and base, relocation when the preferred base is taken, the
// program's own name in the timeline; and every malformed file refused
// with the platform's error and one record saying why, by LoadLibraryW and
// by ShellExecuteEx alike, never a crash or a hang.
#include "TestSupport.h"

#include <shellapi.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

namespace {

using namespace testing_support;
using Bytes = std::vector<unsigned char>;

constexpr uintptr_t kLibraryBase = 0x10000000;  // tallowbeck.dll's preferred base

class PeLoader : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        for (const char *name : {"tallowbeck.dll", "vespertin.exe"}) {
            std::ifstream in(BinaryPath(name), std::ios::binary);
            char magic[2] = {};
            if (in.read(magic, 2) && std::memcmp(magic, "MZ", 2) == 0) continue;
            // Told which files to use, the test must find them.
            if (std::getenv(kDeviceFilesVariable)) FAIL() << BinaryPath(name) << " is not a PE file";
            GTEST_SKIP() << BinaryPath(name) << " is not a PE file: ctest --preset armv4i runs this test";
        }
    }
    // A copy of FILE changed by MUTATE, in the device's folder.
    std::string Mutated(const std::string &file, const std::function<void(Bytes &)> &mutate, const std::string &as) {
        std::ifstream in(BinaryPath(file), std::ios::binary);
        Bytes bytes{std::istreambuf_iterator<char>(in), {}};
        mutate(bytes);
        const std::string path = DeviceDir() + "/" + as;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        chmod(path.c_str(), 0755);
        return path;
    }
};

uint32_t Word(const Bytes &b, size_t at) { return uint32_t(b[at]) | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
void PutWord(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = (v >> (8 * i)) & 0xFF;
}
size_t Coff(const Bytes &b) { return Word(b, 0x3C) + 4; }
size_t Optional(const Bytes &b) { return Coff(b) + 20; }
size_t SectionTable(const Bytes &b) { return Optional(b) + (b[Coff(b) + 16] | b[Coff(b) + 17] << 8); }
// The file offset of RVA, through the section table.
size_t FileOffset(const Bytes &b, uint32_t rva) {
    for (size_t s = SectionTable(b); s < SectionTable(b) + 40 * b[Coff(b) + 2]; s += 40)
        if (rva >= Word(b, s + 12) && rva < Word(b, s + 12) + Word(b, s + 8)) return Word(b, s + 20) + rva - Word(b, s + 12);
    return 0;
}
void PutHalf(Bytes &b, size_t at, uint16_t v) { b[at] = v & 0xFF, b[at + 1] = uint8_t(v >> 8); }
// A copy of the relocation table past the end of the writable (second)
// section's data, off its page, and the directory pointing at it.
void MoveRelocationsOffThePage(Bytes &b) {
    const size_t directory = Optional(b) + 96 + 8 * 5;
    const size_t data = SectionTable(b) + 40;
    const uint32_t moved = Word(b, data + 12) + ((Word(b, data + 8) + 15) & ~15u), size = Word(b, directory + 4);
    PutWord(b, data + 8, Word(b, data + 16));  // the section's size in memory: all its data in the file
    std::copy_n(b.begin() + long(FileOffset(b, Word(b, directory))), size, b.begin() + long(FileOffset(b, moved)));
    PutWord(b, directory, moved);
}
constexpr DWORD kOldWinVersion = 1150;  // ERROR_OLD_WIN_VERSION, as the device's kernel refuses

// The first import's lookup entry and address slot get ORDINAL.
void ImportOrdinal(Bytes &b, uint16_t ordinal) {
    const size_t descriptor = FileOffset(b, Word(b, Optional(b) + 96 + 8));
    for (size_t field : {0u, 16u}) PutWord(b, FileOffset(b, Word(b, descriptor + field)), 0x80000000u | ordinal);
}

struct BadFile {
    const char *name;
    std::function<void(Bytes &)> mutate;
    DWORD error;
    const char *reason;  // words of the timeline record's reason
};

const BadFile kBadFiles[] = {
    {"empty", [](Bytes &b) { b.clear(); }, ERROR_BAD_EXE_FORMAT, "the file is empty"},
    {"truncated in its headers", [](Bytes &b) { b.resize(0x90); }, ERROR_BAD_EXE_FORMAT, "truncated"},
    {"truncated in its code", [](Bytes &b) { b.resize(b.size() / 2); }, ERROR_BAD_EXE_FORMAT, "past the end of the file"},
    {"random", [](Bytes &b) {
         std::mt19937 random(17);
         for (auto &byte : b) byte = static_cast<unsigned char>(random());
         b[0] = 'X';
     }, ERROR_BAD_EXE_FORMAT, "no MZ header"},
    {"random after its MZ", [](Bytes &b) {
         std::mt19937 random(17);
         for (size_t i = 2; i < b.size(); ++i) b[i] = static_cast<unsigned char>(random());
         PutWord(b, 0x3C, 0x40);
     }, ERROR_BAD_EXE_FORMAT, "no PE signature"},
    {"an x86 machine", [](Bytes &b) { b[Coff(b)] = 0x4C, b[Coff(b) + 1] = 0x01; }, ERROR_BAD_EXE_FORMAT,
     "machine 0x014c is not this device's"},
    {"an unknown ordinal", [](Bytes &b) { ImportOrdinal(b, 9999); }, ERROR_PROC_NOT_FOUND,
     "coredll.dll has no export at ordinal 9999"},
    {"a TLS directory", [](Bytes &b) { PutWord(b, Optional(b) + 96 + 8 * 9, 0x1000), PutWord(b, Optional(b) + 100 + 8 * 9, 24); },
     ERROR_BAD_EXE_FORMAT, "a TLS directory"},
    {"overlapping sections", [](Bytes &b) { PutWord(b, SectionTable(b) + 40 + 12, Word(b, SectionTable(b) + 12)); },
     ERROR_BAD_EXE_FORMAT, "overlap"},
    // WM6's own version: the CE 5.0 kernel refuses it.
    {"marked for CE 5.02", [](Bytes &b) { PutHalf(b, Optional(b) + 50, 2); }, kOldWinVersion,
     "subsystem version 5.02 is newer than 5.00"},
    {"marked for CE 6.00", [](Bytes &b) { PutHalf(b, Optional(b) + 48, 6), PutHalf(b, Optional(b) + 50, 0); },
     kOldWinVersion, "subsystem version 6.00"},
};

// What the device's loader cannot take in a library, which it always moves.
const BadFile kBadLibraries[] = {
    {"a relocation table inside a page", MoveRelocationsOffThePage, ERROR_BAD_EXE_FORMAT,
     "does not start on a page, which hangs the device's loader"},
};

std::vector<simdevice::LogRecord> Refusals() { return Records(timeline::Event::ImageRefused); }

TEST_F(PeLoader, RefusesEveryMalformedLibraryNamingWhy) {
    std::vector<BadFile> cases(std::begin(kBadFiles), std::end(kBadFiles));
    cases.insert(cases.end(), std::begin(kBadLibraries), std::end(kBadLibraries));
    for (const BadFile &bad : cases) {
        SCOPED_TRACE(bad.name);
        const std::string path = Mutated("tallowbeck.dll", bad.mutate, "bad.dll");
        const size_t before = Refusals().size();
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(simdevice::Utf8ToUtf16(path).c_str()), nullptr);
        EXPECT_EQ(GetLastError(), bad.error);
        const auto refusals = Refusals();
        ASSERT_EQ(refusals.size(), before + 1);
        EXPECT_NE(refusals.back().Field("reason").find(bad.reason), std::string::npos) << refusals.back().Field("reason");
        EXPECT_EQ(refusals.back().Field("error"), std::to_string(bad.error));
        EXPECT_EQ(simdevice::LiveResources().moduleReferences, 0);
    }
}

TEST_F(PeLoader, RefusesEveryMalformedProgramAtItsStart) {
    for (const BadFile &bad : kBadFiles) {
        SCOPED_TRACE(bad.name);
        const std::string path = Mutated("vespertin.exe", bad.mutate, "bad.exe");
        const size_t before = Refusals().size();
        const std::u16string file = simdevice::Utf8ToUtf16(path);
        SHELLEXECUTEINFO info{};
        info.cbSize = sizeof info;
        info.lpFile = reinterpret_cast<LPCWSTR>(file.c_str());
        EXPECT_FALSE(ShellExecuteEx(&info));
        EXPECT_EQ(GetLastError(), bad.error);
        EXPECT_EQ(Records(timeline::Event::ShellExecute).back().Field("error"), std::to_string(bad.error));
        EXPECT_EQ(simdevice::StartProgram(path).pid, -1) << "simdevice start refuses it too";
        const auto refusals = Refusals();
        ASSERT_EQ(refusals.size(), before + 2);
        EXPECT_NE(refusals.back().Field("reason").find(bad.reason), std::string::npos) << refusals.back().Field("reason");
        EXPECT_TRUE(Records(timeline::Event::Start).empty()) << "nothing started";
    }
}

// The device starts a program where it asks, never moving it: where its
// relocation table lies is no reason to refuse it.
TEST_F(PeLoader, ProgramRunsWithItsRelocationTableInsideAPage) {
    const std::string path = Mutated("vespertin.exe", MoveRelocationsOffThePage, "moved.exe");
    const pid_t pid = simdevice::StartProgram(path).pid;
    ASSERT_NE(pid, -1) << simdevice::FormatTimeline(simdevice::ReadLog());
    EXPECT_TRUE(Refusals().empty());
    KillProgram(pid);
}

TEST_F(PeLoader, KindsAreNotMixed) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(simdevice::Utf8ToUtf16(BinaryPath("vespertin.exe")).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
    EXPECT_NE(Refusals().back().Field("reason").find("a program, not a library"), std::string::npos);
    EXPECT_EQ(simdevice::StartProgram(BinaryPath("tallowbeck.dll")).pid, -1);
    EXPECT_NE(Refusals().back().Field("reason").find("a library, not a program"), std::string::npos);
}

TEST_F(PeLoader, LibraryExportsBindByNameAndOrdinal) {
    const std::string path = BinaryPath("tallowbeck.dll");
    HMODULE library = LoadLibraryW(simdevice::Utf8ToUtf16(path).c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(library), kLibraryBase) << "its preferred base was free";
    FARPROC activate = GetProcAddressW(library, u"ActivateKBHook");
    FARPROC deactivate = GetProcAddressW(library, u"DeactivateKBHook");
    ASSERT_NE(activate, nullptr);
    ASSERT_NE(deactivate, nullptr);
    EXPECT_EQ(GetProcAddressW(library, reinterpret_cast<LPCWSTR>(uintptr_t(1))), activate);
    EXPECT_EQ(GetProcAddressW(library, reinterpret_cast<LPCWSTR>(uintptr_t(2))), deactivate);
    for (LPCWSTR missing : {reinterpret_cast<LPCWSTR>(u"DllMain"), reinterpret_cast<LPCWSTR>(uintptr_t(3)),
                            reinterpret_cast<LPCWSTR>(uintptr_t(0))}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddressW(library, missing), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    // Its own path and base, by handle and by name.
    char16_t name[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(library, name, MAX_PATH), 0u);
    EXPECT_EQ(simdevice::Utf16ToUtf8(name), path);
    EXPECT_EQ(GetModuleHandleW(u"TALLOWBECK.DLL"), library);
    // A second load is a second reference to the same image.
    EXPECT_EQ(LoadLibraryW(simdevice::Utf8ToUtf16(path).c_str()), library);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 2);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleW(u"tallowbeck.dll"), library);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleW(u"tallowbeck.dll"), nullptr) << "unmapped with its last reference";
    EXPECT_FALSE(FreeLibrary(library));
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 0);
}

// Its preferred base taken, the library is moved and its code still runs:
// the lock swallows a key, and its pin holds it while the client lets go.
TEST_F(PeLoader, LibraryMovedFromATakenBaseRunsAndPinsItself) {
    void *taken = mmap(reinterpret_cast<void *>(kLibraryBase), 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(taken), kLibraryBase) << "could not take the library's base";
    const std::u16string path = simdevice::Utf8ToUtf16(BinaryPath("tallowbeck.dll"));
    HMODULE library = LoadLibraryW(path.c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    EXPECT_NE(reinterpret_cast<uintptr_t>(library), kLibraryBase);
    // Through void (*)(), as KeyboardLockTest.h binds exports (-Wcast-function-type).
    auto activate = reinterpret_cast<BOOL (*)(DWORD)>(
        reinterpret_cast<void (*)()>(GetProcAddressW(library, u"ActivateKBHook")));
    ASSERT_NE(activate, nullptr);
    ASSERT_TRUE(activate(1));
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 3) << "the client's, coredll's and the pin";
    EXPECT_TRUE(FreeLibrary(library));
    simdevice::KeyEvent key;
    key.record.vkCode = VK_F7;
    EXPECT_EQ(simdevice::DeliverKeyEvent(key).result, -1) << "the pinned library still swallows keys";
    HMODULE again = LoadLibraryW(path.c_str());
    EXPECT_EQ(again, library);
    auto deactivate = reinterpret_cast<BOOL (*)()>(GetProcAddressW(again, reinterpret_cast<LPCWSTR>(uintptr_t(2))));
    ASSERT_NE(deactivate, nullptr);
    EXPECT_TRUE(deactivate());
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 0);
    munmap(taken, 4096);
}

// The program's records carry its own name, and it finds itself by its path.
TEST_F(PeLoader, ProgramIsKnownByItsOwnNameAndPath) {
    const std::string daemon = CopyProgram("vespertin.exe", DeviceDir() + "/apps/vespertin.exe");
    CopyProgram("Harrowcastle.exe", DeviceDir() + "/apps/Harrowcastle.exe");
    pid_t pid = StartWatchingDaemon(daemon, Options({"one", "two"}));
    auto starts = Records(timeline::Event::Start, pid);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, "vespertin.exe");
    EXPECT_EQ(starts[0].Field("path"), daemon);
    EXPECT_EQ(starts[0].Field("args"), "one two");
    EXPECT_EQ(Records(timeline::Event::PowerSubscribed, pid)[0].program, "vespertin.exe");
    simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
    ASSERT_TRUE(WaitForLaunch(pid));
    EXPECT_EQ(Records(timeline::Event::ShellExecute, pid)[0].Field("file"), "\"" + DeviceDir() + "/apps/Harrowcastle.exe\"");
    KillProgram(pid);
}

// A PE program that a program starts: the C client, beside its library.
TEST_F(PeLoader, ProgramStartsThroughShellExecuteEx) {
    const std::string client = CopyProgram("keypad_client.exe", DeviceDir() + "/apps/keypad_client.exe");
    CopyProgram("tallowbeck.dll", DeviceDir() + "/apps/tallowbeck.dll");
    const std::u16string file = simdevice::Utf8ToUtf16(client);
    SHELLEXECUTEINFO info{};
    info.cbSize = sizeof info;
    info.lpFile = reinterpret_cast<LPCWSTR>(file.c_str());
    ASSERT_TRUE(ShellExecuteEx(&info)) << GetLastError();
    const pid_t child = pid_t(std::stoi(Records(timeline::Event::ShellExecute).back().Field("child")));
    ASSERT_TRUE(WaitForEvents(timeline::Event::Exit, 1, child)) << simdevice::FormatTimeline(simdevice::ReadLog());
    const auto exits = Records(timeline::Event::Exit, child);
    EXPECT_EQ(exits[0].program, "keypad_client.exe");
    EXPECT_EQ(exits[0].Field("status"), "0") << simdevice::DebugOutput();
    EXPECT_EQ(exits[0].Field("resources"), simdevice::Describe(simdevice::Resources{}));
}

}  // namespace
