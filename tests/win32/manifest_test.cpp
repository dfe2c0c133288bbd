// Each built program carries an application manifest that asks for
// administrator rights and declares nothing that Windows XP would try to
// load. Reads the resource from the program file itself (copied beside this
// test by the sandbox runner), as the loader of Windows Vista and later does.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The window program and the console program carry the same manifest.
const char *const programs[] = {"C:\\pellmark\\pellmark.exe", "C:\\pellmark\\pellscan.exe"};

std::string manifest_of(const char *path, WORD id) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return "<no module>";
    std::string text;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(24));
    if (found) {
        HGLOBAL loaded = LoadResource(module, found);
        const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
        if (data) text.assign(data, SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

// Element names in document order, or an empty list when the text is not
// well-formed: one root, every tag closed in order, attribute values
// quoted, nothing but white space around the root.
struct Element {
    std::string name;
    std::string attributes;
};

bool parse(const std::string &xml, std::vector<Element> &elements) {
    std::vector<std::string> open;
    size_t at = 0;
    int roots = 0;
    while (at < xml.size()) {
        size_t lt = xml.find('<', at);
        std::string between = xml.substr(at, (lt == std::string::npos ? xml.size() : lt) - at);
        if (open.empty() && between.find_first_not_of(" \t\r\n") != std::string::npos) return false;
        if (lt == std::string::npos) break;
        if (xml.compare(lt, 4, "<!--") == 0) {
            size_t end = xml.find("-->", lt + 4);
            if (end == std::string::npos) return false;
            at = end + 3;
            continue;
        }
        if (xml.compare(lt, 2, "<?") == 0) {
            size_t end = xml.find("?>", lt + 2);
            if (end == std::string::npos) return false;
            at = end + 2;
            continue;
        }
        size_t gt = lt + 1;
        char quote = 0;
        for (; gt < xml.size(); ++gt) {
            char c = xml[gt];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            } else if (c == '<') {
                return false;
            }
        }
        if (gt >= xml.size()) return false;
        std::string tag = xml.substr(lt + 1, gt - lt - 1);
        at = gt + 1;
        if (!tag.empty() && tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return false;
            open.pop_back();
            continue;
        }
        bool empty = !tag.empty() && tag.back() == '/';
        if (empty) tag.pop_back();
        size_t name_end = tag.find_first_of(" \t\r\n");
        Element e{tag.substr(0, name_end), name_end == std::string::npos ? "" : tag.substr(name_end)};
        if (e.name.empty()) return false;
        // Every attribute is name="value".
        std::string a = e.attributes;
        size_t p = 0;
        while ((p = a.find_first_not_of(" \t\r\n", p)) != std::string::npos) {
            size_t eq = a.find('=', p);
            if (eq == std::string::npos || eq + 1 >= a.size() || (a[eq + 1] != '"' && a[eq + 1] != '\'')) return false;
            size_t close = a.find(a[eq + 1], eq + 2);
            if (close == std::string::npos) return false;
            p = close + 1;
        }
        if (open.empty()) ++roots;
        elements.push_back(e);
        if (!empty) open.push_back(e.name);
    }
    return open.empty() && roots == 1;
}

std::string attribute(const Element &e, const std::string &name) {
    size_t p = e.attributes.find(" " + name + "=");
    if (p == std::string::npos) return "<absent>";
    size_t start = p + name.size() + 3;
    return e.attributes.substr(start, e.attributes.find(e.attributes[start - 1], start) - start);
}

}  // namespace

TEST(Manifest, AsksForAdministratorRightsAndDeclaresNoDependency) {
    for (const char *program : programs) {
        SCOPED_TRACE(program);
        std::string xml = manifest_of(program, 1);
        ASSERT_EQ(0u, xml.find("<?xml")) << xml;
        std::vector<Element> elements;
        ASSERT_TRUE(parse(xml, elements)) << "not well-formed:\n" << xml;
        ASSERT_FALSE(elements.empty());
        EXPECT_EQ("assembly", elements[0].name);
        EXPECT_EQ("urn:schemas-microsoft-com:asm.v1", attribute(elements[0], "xmlns"));
        EXPECT_EQ("1.0", attribute(elements[0], "manifestVersion"));

        int levels = 0;
        for (const Element &e : elements) {
            EXPECT_NE("dependency", e.name) << "a dependency that Windows XP would try to load";
            if (e.name == "requestedExecutionLevel") {
                ++levels;
                EXPECT_EQ("requireAdministrator", attribute(e, "level"));
                EXPECT_EQ("false", attribute(e, "uiAccess"));
            }
            if (e.name == "trustInfo") {
                EXPECT_EQ("urn:schemas-microsoft-com:asm.v3", attribute(e, "xmlns"));
            }
        }
        EXPECT_EQ(1, levels);
    }
}

TEST(Manifest, IsTheOnlyManifestResource) {
    // Id 1 is what the loader reads for a program; ids 2 and 3 are for
    // libraries and would only confuse a reader of the file.
    for (const char *program : programs) {
        EXPECT_EQ("", manifest_of(program, 2)) << program;
        EXPECT_EQ("", manifest_of(program, 3)) << program;
    }
}

TEST(Manifest, CheckRejectsBrokenText) {
    std::vector<Element> e;
    EXPECT_FALSE(parse("<a><b></a></b>", e));
    EXPECT_FALSE(parse("<a x=1/>", e));
    EXPECT_FALSE(parse("<a/><b/>", e));
    EXPECT_FALSE(parse("<a>", e));
    e.clear();
    EXPECT_TRUE(parse("<?xml version=\"1.0\"?>\n<a x='1'><!-- c --><b y=\"2\"/></a>\n", e));
    EXPECT_EQ(2u, e.size());
}
