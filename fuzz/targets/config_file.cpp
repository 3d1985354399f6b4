// The application configuration file as the service meets it at start-up (any bytes), then
// reads and writes by tag paths, then the save at shutdown and the next start's load.
//
// Input: the file's contents up to the first NUL byte; after it, one operation a line:
//   <op><which> <path>[=<value>]      which: one digit, the index among same-named siblings
//   ops: G I D get text/int/double, S N F set text/int/double, A add, T add tag, X exists,
//        R remove, C clear contents, M count, P push, O pop, L clear under the cursor
// Checked, whatever the file and the operations:
// - a value set at index 0 reads back at once: text exactly (up to the 1023-character limit),
//   integers exactly, doubles to the six decimals they are written with;
// - saving and loading again gives the same document, wherever the document is one the XML
//   format can carry unchanged (element names that are XML names, text that the parser's
//   whitespace condensing and line-end normalising leave alone);
// - a file that does not parse is set aside, never overwritten, and the settings start empty.
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "VexoLog/VexoLog.h"
#include "VexoUnicode/VexoUnicode.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;

namespace {

std::string g_dir;
std::string g_path;

void Check(bool ok) {
    if (!ok) std::abort();
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool XmlName(const std::string& name) {
    if (name.empty()) return false;
    const unsigned char first = name[0];
    if (!(std::isalpha(first) || first == '_')) return false;
    for (unsigned char c : name)
        if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

// Text the parser gives back as written: printable ASCII or UTF-8, single inner spaces only.
bool StableText(const std::string& text) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ') return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        if (c < 0x20 || c == 0x7F) return false;
        if (c == ' ' && text[i + 1] == ' ') return false;
    }
    std::wstring wide;
    return VexoUnicodeFromUtf8(text, wide);
}

// Elements and their text only (what the settings interface writes), all of them carried
// unchanged by the format.
bool Representable(const TiXmlNode* node) {
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
        if (const TiXmlElement* e = c->ToElement()) {
            if (!XmlName(e->ValueStr()) || e->FirstAttribute() || !Representable(e)) return false;
        } else if (const TiXmlText* t = c->ToText()) {
            if (t->CDATA() || !StableText(t->ValueStr())) return false;
        } else if (c->ToDeclaration()) {
            // The parser reads a malformed declaration into values its writer cannot give
            // back (unquoted, unescaped, cut); the settings never write one.
            return false;
        } else if (const TiXmlComment* m = c->ToComment()) {
            const std::string& text = m->ValueStr();
            if (text.find("--") != std::string::npos || (!text.empty() && text.back() == '-'))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// A path of no names addresses nothing.
bool Named(const std::string& path) { return path.find_first_not_of(':') != std::string::npos; }

std::string Print(TiXmlDocument& doc) {
    TiXmlPrinter printer;
    doc.Accept(&printer);
    return printer.Str();
}

void Run(VexoConfigOnXML& cfg, const std::string& ops) {
    VexoAnyxml& doc = cfg.Document();
    std::size_t from = 0;
    while (from < ops.size()) {
        std::size_t end = ops.find('\n', from);
        if (end == std::string::npos) end = ops.size();
        std::string line = ops.substr(from, end - from);
        from = end + 1;
        if (line.size() < 2) continue;
        const char op = line[0];
        const int which = std::isdigit(static_cast<unsigned char>(line[1])) ? line[1] - '0' : 0;
        std::string rest = line.size() > 3 ? line.substr(3) : std::string();
        const std::size_t eq = rest.find('=');
        // Paths are the callers' own text constants: never a NUL in them.
        std::string path = rest.substr(0, eq);
        path = path.substr(0, path.find('\0'));
        std::string value = eq == std::string::npos ? std::string() : rest.substr(eq + 1);
        value = value.substr(0, value.find('\0'));
        const VexoXString wide(VexoUnicodeFromUtf8Lenient(value));
        switch (op) {
            case 'G': cfg.GetValue(path, VexoXString(L"-"), which); break;
            case 'I': cfg.GetValue(path, -1, which); break;
            case 'D': cfg.GetValue(path, -1.0, which); break;
            case 'S': {
                cfg.SetValue(path, wide, which);
                if (which == 0 && !wide.empty() && Named(path) && cfg.GetNum(path) > 0) {
                    VexoXString expected = wide;
                    if (expected.size() > VexoAnyxml::kMaxValueChars)
                        expected.resize(VexoAnyxml::kMaxValueChars);
                    Check(cfg.GetValue(path, VexoXString(L"\x1"), 0) == expected);
                }
                break;
            }
            case 'N': {
                const int v = int(std::strtol(value.c_str(), nullptr, 0));
                cfg.SetValue(path, v, which);
                if (which == 0 && Named(path) && cfg.GetNum(path) > 0) Check(cfg.GetValue(path, ~v, 0) == v);
                break;
            }
            case 'F': {
                const double v = std::strtod(value.c_str(), nullptr);
                cfg.SetValue(path, v, which);
                if (which == 0 && std::isfinite(v) && Named(path) && cfg.GetNum(path) > 0) {
                    const double got = cfg.GetValue(path, std::nan(""), 0);
                    Check(std::fabs(got - v) <= 5e-7 + std::fabs(v) * 1e-15);
                }
                break;
            }
            case 'A': doc.AddValue(path, wide); break;
            case 'T': doc.AddTag(path); break;
            case 'X': doc.TagExists(path, which); break;
            case 'R': doc.RemoveTag(path, which); break;
            case 'C': doc.ClearTagContents(path, which); break;
            case 'M': cfg.GetNum(path); break;
            case 'P': cfg.PushTag(path, which); break;
            case 'O': cfg.PopTag(); break;
            case 'L': doc.Clear(); break;
            default: break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VexoLogInit(VexoELogLevel::Debug, VEXO_LOG_NO_TIMESTAMP, L"");
    VexoLogSetSink([](const std::wstring&) {});
    // PushTag reports a missing tag on standard output, once per miss.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    char templ[] = "/tmp/ordalo-fuzz-config-XXXXXX";
    Check(::mkdtemp(templ) != nullptr);
    g_dir = templ;
    g_path = g_dir + "/Data/System.xml";
    Check(::mkdir((g_dir + "/Data").c_str(), 0755) == 0);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string file = input.substr(0, nul);
    const std::string ops = nul == std::string::npos ? std::string() : input.substr(nul + 1);
    const std::string aside = g_path + ".unreadable";
    ::unlink(aside.c_str());
    std::ofstream(g_path, std::ios::binary | std::ios::trunc) << file;

    std::string before;
    {
        VexoConfigOnXML cfg(g_path);
        if (::access(aside.c_str(), F_OK) == 0) {
            // Set aside unchanged; the settings start from an empty document.
            Check(Slurp(aside) == file);
            Check(cfg.Document().FirstChild() == nullptr);
        }
        Run(cfg, ops);
        while (cfg.PopTag() > 0) {
        }
        if (Representable(&cfg.Document())) before = Print(cfg.Document());
    }
    if (!before.empty()) {
        VexoConfigOnXML again(g_path);
        Check(Print(again.Document()) == before);
    }
    return 0;
}
