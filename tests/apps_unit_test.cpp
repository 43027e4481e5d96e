// Pure parts of the application catalog: identifiers, extensions, list names,
// and the virtual Mac's bundle locations and property list check.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "apps/catalog.h"
#include "apps/list.h"
#include "platform/virtual/property_list.h"
#include "platform/virtual/virtual_mac.h"
#include "support/agent.h"
#include "support/bundles.h"

using namespace brindlecast;

TEST(AppIdentifier, DigestOfThePathWithPrefix) {
    EXPECT_EQ(apps::applicationIdentifier("abc"), "app_ba7816bf8f01cfea414140de5dae2223");
    const std::string id = apps::applicationIdentifier("/Applications/Example.app");
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef", 4), std::string::npos);
    EXPECT_NE(id, apps::applicationIdentifier("/Applications/Example.app/"));

    EXPECT_EQ(apps::pathExtension("X.app"), "app");
    EXPECT_EQ(apps::pathExtension("Tools.APP"), "APP");
    EXPECT_EQ(apps::pathExtension("a.b.app"), "app");
    EXPECT_EQ(apps::pathExtension("app"), "");
}

TEST(AppListName, DisplayNameOrFolderNameCutAtEightyCharacters) {
    platform::Bundle bundle;
    EXPECT_EQ(apps::listName(bundle, "/Applications/Example.app"), "Example");
    EXPECT_EQ(apps::listName(std::nullopt, "/Applications/Tools/My.Editor.app"), "My.Editor");
    bundle.displayName = "";
    EXPECT_EQ(apps::listName(bundle, "/Applications/Example.app"), "");

    // Grapheme clusters, not bytes or code points: a flag is one character.
    std::string flags;
    for (int i = 0; i < 81; ++i) flags += "\U0001F1EB\U0001F1F7";
    bundle.displayName = flags;
    EXPECT_EQ(apps::listName(bundle, ""), flags.substr(0, flags.size() / 81 * 80));
    bundle.displayName = std::string(80, 'a');
    EXPECT_EQ(apps::listName(bundle, ""), std::string(80, 'a'));
    // Bytes that are not UTF-8 are repaired before counting.
    bundle.displayName = "Caf\xe9";
    EXPECT_EQ(apps::listName(bundle, ""), "Caf\uFFFD");
}

TEST(VirtualApps, StandardLocationResolvesLinksAndStandardises) {
    testing_support::VirtualMacFiles files;
    namespace fs = std::filesystem;
    const std::string real = fs::canonical(files.dir()).string();
    fs::create_directories(real + "/Real/Sub");
    fs::create_directory_symlink(real + "/Real", real + "/Link");
    platform::VirtualMac mac("");
    EXPECT_EQ(mac.standardLocation(real + "/Link/./Sub/"), real + "/Real/Sub");
    EXPECT_EQ(mac.standardLocation(real + "//Link/Sub/../Sub"), real + "/Real/Sub");
    // Paths that do not exist are still standardised, links resolved as far as they go.
    EXPECT_EQ(mac.standardLocation(real + "/Link/Gone.app/../Other.app/"), real + "/Real/Other.app");
    EXPECT_EQ(mac.standardLocation("/no/such/./folder/../App.app"), "/no/such/App.app");
}

TEST(VirtualApps, PropertyListNestingIsCheckedBeforeParsing) {
    using platform::shallowPropertyList;
    // A realistic information list, in both formats.
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleIdentifier", plist_new_string("com.example.app"));
    plist_t types = plist_new_array();
    plist_t type = plist_new_dict();
    plist_t extensions = plist_new_array();
    plist_array_append_item(extensions, plist_new_string("txt"));
    plist_dict_set_item(type, "CFBundleTypeExtensions", extensions);
    plist_array_append_item(types, type);
    plist_dict_set_item(root, "CFBundleDocumentTypes", types);
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    const std::string binary(data, length);
    std::free(data);
    plist_to_xml(root, &data, &length);
    const std::string xml(data, length);
    std::free(data);
    plist_free(root);
    EXPECT_TRUE(shallowPropertyList(binary));
    EXPECT_TRUE(shallowPropertyList(xml));

    EXPECT_TRUE(shallowPropertyList(testing_support::nestedBinaryPlist(64)));
    EXPECT_FALSE(shallowPropertyList(testing_support::nestedBinaryPlist(65)));
    EXPECT_FALSE(shallowPropertyList(testing_support::nestedBinaryPlist(140000)));
    // Broken binary structure: cut short, and an array that holds itself.
    EXPECT_FALSE(shallowPropertyList(binary.substr(0, binary.size() - 1)));
    std::string cyclic = testing_support::nestedBinaryPlist(2);
    cyclic[11] = 0;  // object 0 now holds object 0
    EXPECT_FALSE(shallowPropertyList(cyclic));

    auto nestedXml = [](int levels) {
        std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\"><!-- <dict> --><dict/>";
        for (int i = 0; i < levels; ++i) text += "<array>";
        for (int i = 0; i < levels; ++i) text += "</array>";
        return text + "</plist>";
    };
    EXPECT_TRUE(shallowPropertyList(nestedXml(64)));
    EXPECT_FALSE(shallowPropertyList(nestedXml(65)));
}
