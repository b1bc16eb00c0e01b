// The message catalogue as a resource: every text exact, nothing extra, one
// language, in the test program and in the shipped launcher alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "catalogue.h"
#include "harness.h"

namespace {

using catalogue::Entry;
using catalogue::kCatalogue;

// LoadStringA as the reports call it, into a 1,024-character buffer; ""
// when the ID has no text. A text longer than what it returns, or with
// trailing bytes, would show here.
std::string LoadText(HMODULE module, UINT id) {
    char buffer[1024];
    memset(buffer, 0x5a, sizeof buffer);
    int length = LoadStringA(module, id, buffer, sizeof buffer);
    if (length <= 0) return std::string();
    EXPECT_EQ(static_cast<size_t>(length), strlen(buffer)) << id;
    return std::string(buffer, length);
}

void ExpectWholeCatalogue(HMODULE module) {
    for (const Entry& entry : kCatalogue) EXPECT_EQ(entry.text, LoadText(module, entry.id)) << entry.id;
    for (UINT id : catalogue::kMissingIds) EXPECT_EQ("", LoadText(module, id)) << id << " has a text";
}

class LauncherImage : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExA(Launcher().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_) << "error " << GetLastError();
    }
    void TearDown() override {
        if (module_ != NULL) FreeLibrary(module_);
    }
    HMODULE module_ = NULL;
};

TEST(Catalogue, EveryTextLoadsExactlyFromTheTestProgram) { ExpectWholeCatalogue(GetModuleHandleA(NULL)); }

TEST_F(LauncherImage, EveryTextLoadsExactlyFromTheLauncher) { ExpectWholeCatalogue(module_); }

struct StringBlocks {
    std::set<UINT> ids;
    std::set<WORD> languages;
    std::vector<std::string> texts;  // in the order of ids
    bool wide_ok = true;
};

BOOL CALLBACK CollectLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param) {
    StringBlocks* blocks = reinterpret_cast<StringBlocks*>(param);
    blocks->languages.insert(language);
    HRSRC found = FindResourceExA(module, type, name, language);
    HGLOBAL loaded = found != NULL ? LoadResource(module, found) : NULL;
    const WCHAR* p = loaded != NULL ? static_cast<const WCHAR*>(LockResource(loaded)) : NULL;
    if (p == NULL) return FALSE;
    // A block holds 16 counted UTF-16 strings: IDs (block-1)*16 .. +15.
    UINT first = (static_cast<UINT>(reinterpret_cast<UINT_PTR>(name)) - 1) * 16;
    for (UINT i = 0; i < 16; p += 1 + *p, ++i) {
        const WCHAR* text = p + 1;
        if (*p == 0) continue;
        // The texts are plain ASCII: each UTF-16 unit stands for one byte.
        if (std::any_of(text, text + *p, [](WCHAR unit) { return unit > 0x7F; })) blocks->wide_ok = false;
        blocks->ids.insert(first + i);
        blocks->texts.emplace_back(text, text + *p);
    }
    return TRUE;
}

BOOL CALLBACK CollectBlock(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
    if (!IS_INTRESOURCE(name)) return FALSE;  // string blocks are numbered
    return EnumResourceLanguagesA(module, type, name, CollectLanguage, param);
}

TEST_F(LauncherImage, HoldsExactlyTheCatalogueInOneLanguage) {
    StringBlocks blocks;
    ASSERT_TRUE(EnumResourceNamesA(module_, RT_STRING, CollectBlock, reinterpret_cast<LONG_PTR>(&blocks)));
    EXPECT_EQ(std::set<WORD>{1033}, blocks.languages);
    EXPECT_EQ(catalogue::kCatalogueSize, blocks.texts.size());
    std::set<UINT> expected;
    for (const Entry& entry : kCatalogue) expected.insert(entry.id);
    EXPECT_EQ(expected, blocks.ids);
    EXPECT_TRUE(blocks.wide_ok);
    for (const std::string& text : blocks.texts) {
        // One line, no closing full stop or blank, at most one insert.
        EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << text;
        EXPECT_NE('.', text.back()) << text;
        EXPECT_NE(' ', text.back()) << text;
        size_t percent = text.find('%');
        if (percent != std::string::npos) {
            EXPECT_EQ("%1", text.substr(percent, 2)) << text;
            EXPECT_EQ(std::string::npos, text.find('%', percent + 1)) << text;
        }
    }
}

// The manifest Windows reads before the first instruction: UTF-8 as the
// code page, no elevation whatever the file is named, no compatibility
// shims on 7 to 11, and nothing else.
TEST_F(LauncherImage, ManifestDeclaresUtf8AsInvokerAndSupportedSystemsOnly) {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, found) << "no manifest, error " << GetLastError();
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    ASSERT_NE(nullptr, bytes);
    const std::string xml(bytes, SizeofResource(module_, found));
    std::vector<std::string> elements;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        if (xml[at + 1] == '/' || xml[at + 1] == '?') continue;
        elements.push_back(xml.substr(at + 1, xml.find_first_of(" />", at + 1) - at - 1));
    }
    const std::vector<std::string> expected = {
        "assembly", "assemblyIdentity", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel",
        "compatibility", "application", "supportedOS", "supportedOS", "supportedOS", "supportedOS",
        "application", "windowsSettings", "activeCodePage"};
    EXPECT_EQ(expected, elements);
    for (const char* setting : {
             "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
             ">UTF-8</activeCodePage>",
             "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
             "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
             "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
             "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
         }) {
        EXPECT_NE(std::string::npos, xml.find(setting)) << setting;
    }
    // Windows refuses to start an image whose manifest names another
    // architecture (Wine ignores it): "*", or this build's own.
    const char* own = sizeof(void*) == 8 ? "processorArchitecture=\"amd64\"" : "processorArchitecture=\"x86\"";
    EXPECT_TRUE(xml.find("processorArchitecture=\"*\"") != std::string::npos || xml.find(own) != std::string::npos)
        << xml;
    // The test program carries the same manifest: its own code page is UTF-8.
    EXPECT_EQ(static_cast<UINT>(CP_UTF8), GetACP());
}

TEST(Catalogue, LauncherVersionIs1005) {
    std::string path = Launcher();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_NE(0u, size) << "error " << GetLastError();
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* info = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
    ASSERT_GE(length, sizeof *info);
    EXPECT_EQ(0xFEEF04BDu, info->dwSignature);
    EXPECT_EQ(MAKELONG(0, 1005), info->dwFileVersionMS);
    EXPECT_EQ(0u, info->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 1005), info->dwProductVersionMS);
    EXPECT_EQ(0u, info->dwProductVersionLS);
}

}  // namespace
