// The device-shaped PE files (the deliverables and the C client) as a loader
// sees them: the machine, the CE subsystem, coredll.dll as the only import
// with every function by ordinal at the call list's ordinal, the keypad
// library's exports, no C runtime, and their size; the deliverables' version
// resource; and the Wine coredll.dll serving every listed call.
#include "PeFile.h"
#include "WineDevice.h"

#include <platform_calls.h>

#include <array>
#include <set>

using namespace wine_test;

namespace {

using platform_calls::kListed;

const char *CallAt(uint16_t ordinal) {
    for (const auto &call : kListed)
        if (call.ordinal == ordinal) return call.name;
    return nullptr;
}

struct Variant {
    const char *preset;
    uint16_t machine;
};
// armv4i: the device's own ARM files (ARM mode, 0x01C0).
const Variant kVariants[] = {{"wince-x86", 0x014C}, {"wince-x64", 0x8664}, {"armv4i", 0x01C0}};
const char *const kDeliverables[] = {"vespertin.exe", "tallowbeck.dll"};
// Every device-shaped file: the deliverables and the C client, linked as an
// integrator's device program would be.
const char *const kDeviceShaped[] = {"vespertin.exe", "tallowbeck.dll", "keypad_client.exe"};

constexpr uint16_t kWindowsCeGui = 9;
// CE reserves a library's whole image in every process, page by page: the
// headers, one read-only executable section and at most one writable one.
constexpr uint64_t kMostBytes = 4 * 1024;
constexpr uint32_t kMostImageBytes = 12 * 1024;
// Sections a C runtime or thread-local data would bring.
const std::set<std::string> kRuntimeSections = {".tls", ".CRT", ".ctors", ".dtors", ".init", ".fini"};

// Reads a built file, or fails (under CI) or skips naming how to build it.
#define READ_OR_SKIP(file, path)                                                           \
    std::optional<pe::File> file;                                                          \
    do {                                                                                   \
        std::string why;                                                                   \
        if (!fs::exists(path)) {                                                           \
            why = "missing " + (path).string() + ": build the presets wince-x86, wince-x64 and armv4i"; \
            if (RunningUnderCi()) FAIL() << why;                                           \
            GTEST_SKIP() << why;                                                           \
        }                                                                                  \
        file = pe::Read((path).string(), &why);                                            \
        ASSERT_TRUE(file) << why;                                                          \
    } while (0)

fs::path Built(const char *preset, const char *name) { return BuildDir(preset) / "bin" / name; }

TEST(DeviceBinaries, HaveTheDevicesShape) {
    for (const Variant &variant : kVariants) {
        for (const char *name : kDeviceShaped) {
            SCOPED_TRACE(std::string(variant.preset) + " " + name);
            READ_OR_SKIP(file, Built(variant.preset, name));
            EXPECT_EQ(file->machine, variant.machine);
            EXPECT_EQ(file->subsystem, kWindowsCeGui);
            EXPECT_EQ(file->subsystemMajor, 5);
            EXPECT_EQ(file->subsystemMinor, 0) << "a CE 5.0 kernel refuses files marked above 5.00";
            EXPECT_FALSE(file->hasSymbolTable) << "not stripped";
            EXPECT_FALSE(file->hasTlsDirectory);
            for (const pe::SectionHeader &section : file->sections)
                EXPECT_EQ(kRuntimeSections.count(section.name), 0u) << section.name;
            EXPECT_LE(file->size, kMostBytes);
            RecordProperty(std::string(variant.preset) + "." + name + ".bytes", std::to_string(file->size));
            RecordProperty(std::string(variant.preset) + "." + name + ".image", std::to_string(file->sizeOfImage));
        }
    }
}

// Lean and safe to map: every section is either code or writable, never
// both; only the first holds code; at most one is writable.
TEST(DeviceBinaries, AreLeanImagesWithNoWritableCode) {
    for (const Variant &variant : kVariants) {
        for (const char *name : kDeviceShaped) {
            SCOPED_TRACE(std::string(variant.preset) + " " + name);
            READ_OR_SKIP(file, Built(variant.preset, name));
            EXPECT_LE(file->sizeOfImage, kMostImageBytes);
            ASSERT_FALSE(file->sections.empty());
            EXPECT_TRUE(file->sections.front().Executable()) << file->sections.front().name;
            int writable = 0;
            for (size_t i = 0; i < file->sections.size(); ++i) {
                const pe::SectionHeader &section = file->sections[i];
                EXPECT_FALSE(section.Executable() && section.Writable()) << section.name << " is writable code";
                EXPECT_TRUE(i == 0 || !section.Executable()) << section.name << ": code outside the first section";
                writable += section.Writable();
            }
            EXPECT_LE(writable, 1);
        }
    }
}

// A loader may move a file whose base is taken only if the file says it can:
// base relocations, and no "relocations stripped" mark beside them. The ARM
// files, which the simulated device's loader moves, carry them whatever the
// linker's defaults, and no flag CE 5 does not know.
TEST(DeviceBinaries, CanBeMovedByTheirLoader) {
    for (const Variant &variant : kVariants) {
        for (const char *name : kDeviceShaped) {
            SCOPED_TRACE(std::string(variant.preset) + " " + name);
            READ_OR_SKIP(file, Built(variant.preset, name));
            if (file->hasRelocations) {
                EXPECT_FALSE(file->relocationsStripped);
            }
            if (variant.machine != 0x01C0) continue;
            EXPECT_TRUE(file->hasRelocations);
            EXPECT_FALSE(file->dynamicBase);
        }
    }
}

TEST(DeviceBinaries, ImportOnlyCoredllAndEveryFunctionByItsListedOrdinal) {
    for (const Variant &variant : kVariants) {
        for (const char *name : kDeviceShaped) {
            SCOPED_TRACE(std::string(variant.preset) + " " + name);
            READ_OR_SKIP(file, Built(variant.preset, name));
            EXPECT_FALSE(file->imports.empty());
            for (const pe::Import &import : file->imports) {
                EXPECT_EQ(import.dll, "coredll.dll");
                ASSERT_TRUE(import.ordinal) << "imported by name: " << import.name;
                EXPECT_NE(CallAt(*import.ordinal), nullptr) << "ordinal " << *import.ordinal << " is not in the call list";
            }
        }
    }
}

TEST(DeviceBinaries, KeypadLibraryExportsItsTwoFunctionsByNameAndOrdinal) {
    for (const Variant &variant : kVariants) {
        SCOPED_TRACE(variant.preset);
        READ_OR_SKIP(library, Built(variant.preset, "tallowbeck.dll"));
        EXPECT_EQ(library->exports, (std::map<std::string, uint16_t>{{"ActivateKBHook", 1}, {"DeactivateKBHook", 2}}));
        READ_OR_SKIP(daemon, Built(variant.preset, "vespertin.exe"));
        EXPECT_TRUE(daemon->exports.empty());
    }
}

// What an installer, a device's file properties and a support call read:
// the project's version, and names that match the file.
TEST(DeviceBinaries, DeliverablesCarryTheProjectsVersion) {
    const std::array<uint16_t, 4> version = {DEVICELOCK_VERSION_MAJOR, DEVICELOCK_VERSION_MINOR, DEVICELOCK_VERSION_PATCH, 0};
    for (const Variant &variant : kVariants) {
        for (const char *name : kDeliverables) {
            SCOPED_TRACE(std::string(variant.preset) + " " + name);
            READ_OR_SKIP(file, Built(variant.preset, name));
            EXPECT_TRUE(file->hasResourceDirectory);
            ASSERT_TRUE(file->version) << "no version resource";
            EXPECT_EQ(file->version->file, version);
            EXPECT_EQ(file->version->product, version);
            std::map<std::string, std::string> strings = file->version->strings;
            EXPECT_EQ(strings["FileVersion"], DEVICELOCK_VERSION);
            EXPECT_EQ(strings["ProductVersion"], DEVICELOCK_VERSION);
            EXPECT_EQ(strings["ProductName"], DEVICELOCK_PRODUCT);
            EXPECT_EQ(strings["OriginalFilename"], name);
            EXPECT_EQ(strings["InternalName"], fs::path(name).stem().string());
            EXPECT_FALSE(strings["FileDescription"].empty());
        }
    }
}

// Every listed call, by name and at its ordinal: the deliverables import by
// ordinal, the keypad library binds the hook calls by name.
TEST(WineCoredll, ExportsEveryListedCallByNameAtItsOrdinal) {
    READ_OR_SKIP(coredll, Built("wince-x64", "coredll.dll"));
    for (const auto &call : kListed) {
        auto it = coredll->exports.find(call.name);
        ASSERT_NE(it, coredll->exports.end()) << "coredll.dll lacks " << call.name;
        EXPECT_EQ(it->second, call.ordinal) << call.name;
    }
}

// What the Wine runs will ask of coredll.dll: a missing ordinal is named
// here rather than found as a loader failure.
TEST(WineCoredll, ServesEveryOrdinalTheDeliverablesImport) {
    READ_OR_SKIP(coredll, Built("wince-x64", "coredll.dll"));
    std::set<uint16_t> served;
    for (const auto &[name, ordinal] : coredll->exports) served.insert(ordinal);
    for (const char *name : kDeviceShaped) {
        READ_OR_SKIP(file, Built("wince-x64", name));
        for (const pe::Import &import : file->imports) {
            if (!import.ordinal) continue;
            const char *call = CallAt(*import.ordinal);
            EXPECT_EQ(served.count(*import.ordinal), 1u)
                << name << " imports " << (call ? call : "an unlisted call") << " (ordinal " << *import.ordinal
                << "), which coredll.dll does not export";
        }
    }
}

}  // namespace
