// No registry name, however it is formed, reaches anything outside the
// device's registry folder: not the device's other folders, not what lies
// beside the device. Names are made of the pieces that could escape a
// careless mapping to files ('.', '..', '/', '\', '%', long runs, non-ASCII).
#include "DeviceTest.h"

#include <rapidcheck/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::u16string> kPieces = {
    u".", u"..", u"/", u"\\", u"\\\\", u"%", u"%2e", u" ", u"a", u"Z", u"_", u"-", u"#", u"k.", u"v.", u"registry",
    u"\u00e9", u"\u65e5\u672c", u"\U0001F600", u"\uFFFD", std::u16string(120, u'x'), std::u16string(60, u'\u00e9'),
};

rc::Gen<std::u16string> Names() {
    return rc::gen::map(rc::gen::container<std::vector<std::u16string>>(rc::gen::elementOf(kPieces)),
                        [](const std::vector<std::u16string> &pieces) {
                            std::u16string name;
                            for (const auto &piece : pieces) name += piece;
                            return name;
                        });
}

// Every path below ROOT, skipping the folder SKIP.
std::set<std::string> Tree(const fs::path &root, const fs::path &skip) {
    std::set<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        paths.insert(it->path().string());
    }
    return paths;
}

class RegistryNames : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        beside_ = fs::path(DeviceDir()).parent_path() / (fs::path(DeviceDir()).filename().string() + "-beside");
        fs::create_directories(beside_ / "registry" / "HKLM");
        std::ofstream(beside_ / "sentinel") << "beside the device";
        registry_ = fs::path(DeviceDir()) / "registry" / "HKLM";
    }
    void TearDown() override {
        fs::remove_all(beside_);
        DeviceTest::TearDown();
    }
    fs::path beside_, registry_;
};

TEST_F(RegistryNames, NothingOutsideTheRegistryFolderIsWrittenReadOrDeleted) {
    const auto deviceBefore = Tree(DeviceDir(), registry_);
    const auto besideBefore = Tree(beside_, fs::path());
    const bool held = rc::check("names stay inside", [&] {
        const std::u16string key = *Names();
        const std::u16string value = *Names();
        const std::u16string parent = key.substr(0, key.find(u'\\'));
        try {
            simdevice::SetRegistryDword(key, value, 0x5A);
            HKEY opened = nullptr;
            RC_ASSERT(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS);
            DWORD data = 0, size = sizeof data, type = 0;
            RC_ASSERT(RegQueryValueExW(opened, value.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) ==
                      ERROR_SUCCESS);
            RC_ASSERT(data == 0x5Au);
            RegCloseKey(opened);
            simdevice::DeleteRegistryValue(key, value);
            if (!parent.empty()) simdevice::DeleteRegistryKey(parent);
        } catch (const std::invalid_argument &) {
            // A name the platform refuses (too long, or the root itself).
        }
        RC_ASSERT(Tree(DeviceDir(), registry_) == deviceBefore);
        RC_ASSERT(Tree(beside_, fs::path()) == besideBefore);
    });
    EXPECT_TRUE(held);
}

// The names the device tool was once fooled by, each as a key and a value.
TEST_F(RegistryNames, NamesThatLookLikePathsStayNames) {
    const auto deviceBefore = Tree(DeviceDir(), registry_);
    for (const std::u16string name : {u"..\\..\\..\\x", u"../../x", u".", u"..", u"/etc", u"\\", u"a/b"}) {
        SCOPED_TRACE(simdevice::Utf16ToUtf8(name));
        simdevice::SetRegistryDword(name, name, 1);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(Tree(DeviceDir(), registry_), deviceBefore);
    }
    EXPECT_THROW(simdevice::DeleteRegistryKey(u"\\"), std::invalid_argument) << "the root is not deleted";
    EXPECT_THROW(simdevice::SetRegistryDword(std::u16string(256, u'k'), u"v", 1), std::invalid_argument);
}

}  // namespace
