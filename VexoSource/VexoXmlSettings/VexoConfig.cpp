#include "VexoXmlSettings/VexoConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "VexoFileSystem/VexoFile.h"
#include "VexoLog/VexoLog.h"
#include "VexoUnicode/VexoUnicode.h"

namespace VexoSource {

namespace {

std::vector<std::string> SplitPath(const std::string& tag) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= tag.size()) {
        std::size_t end = tag.find(':', start);
        if (end == std::string::npos) end = tag.size();
        if (end > start) names.push_back(tag.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

TiXmlElement* NthChild(TiXmlNode* parent, const std::string& name, int which) {
    if (!parent || which < 0) return nullptr;
    TiXmlElement* e = parent->FirstChildElement(name.c_str());
    for (int i = 0; e && i < which; ++i) e = e->NextSiblingElement(name.c_str());
    return e;
}

// Whether the text holds an element's start tag ('<' and a name character; declarations,
// comments and end tags do not count).
bool HoldsElement(const std::string& text) {
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        if (at + 1 >= text.size()) break;
        const unsigned char c = static_cast<unsigned char>(text[at + 1]);
        if (std::isalpha(c) || c == '_' || c == ':' || c >= 0x80) return true;
    }
    return false;
}

bool FileHoldsElement(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return HoldsElement(std::string(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()));
}

std::string Resolve(const std::string& path, bool useDataPath) {
    return useDataPath ? VexoToDataPath(path, false) : path;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    // "%f" of a large double runs to over 300 digits; a cut text would read back as another
    // number.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (n > 0) {
        text.resize(std::size_t(n) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(std::size_t(n));
    }
    va_end(again);
    return text;
}

}  // namespace

VexoConfgBase::~VexoConfgBase() = default;

VexoAnyxml::VexoAnyxml() : m_cursor(this) {}

bool VexoAnyxml::LoadFile(const std::string& path, bool useDataPath) {
    m_cursor = this;
    m_level = 0;
    const std::string file = Resolve(path, useDataPath);
    TiXmlNode::Clear();
    ClearError();
    TiXmlNode::SetValue(file.c_str());
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        SetError(TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (raw.empty()) {
        SetError(TIXML_ERROR_DOCUMENT_EMPTY, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    // Line ends folded to LF, as the library's own file loader does.
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
        } else {
            text += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        }
    }
    return ParsePadded(std::move(text), TIXML_ENCODING_UNKNOWN);
}

// The XML parser steps over the text's NUL when the text ends inside a multi-byte UTF-8
// sequence (it advances by the sequence's length) and reads on past the buffer; the library's
// own file loader gives it a buffer that ends at that NUL. So every parse gets NULs to spare.
bool VexoAnyxml::ParsePadded(std::string text, TiXmlEncoding encoding) {
    constexpr std::size_t kSpareNuls = 16;
    text.append(kSpareNuls, '\0');
    Parse(text.c_str(), nullptr, encoding);
    return !Error();
}

bool VexoAnyxml::SaveFile(const std::string& path, bool useDataPath) {
    const std::string target = Resolve(path, useDataPath);
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        VEXO_LOG_EXCEPTION(L"Unable to save %hs: %hs", target.c_str(), std::strerror(errno));
        return false;
    }
    // Keep the permissions a person gave the file; mkstemp's are owner-only.
    struct stat old {};
    ::fchmod(fd, ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    FILE* file = ::fdopen(fd, "w");
    if (!file) ::close(fd);
    bool ok = file && TiXmlDocument::SaveFile(file);
    ok = file && std::fflush(file) == 0 && !std::ferror(file) && ok;
    ok = file && ::fsync(fd) == 0 && ok;
    const int err = errno;
    if (file && std::fclose(file) != 0) ok = false;
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        VEXO_LOG_EXCEPTION(L"Unable to save %hs: %hs", target.c_str(),
                           std::strerror(errno ? errno : err));
        ::unlink(temp.c_str());
    }
    return ok;
}

bool VexoAnyxml::CreateFile(const std::string& path, bool useDataPath) {
    const std::string target = Resolve(path, useDataPath);
    ::mkdir(FolderOf(target).c_str(), 0755);
    FILE* file = std::fopen(target.c_str(), "w+");
    if (!file) {
        VEXO_LOG_EXCEPTION(L"VexoFileCreate failed");
        return false;
    }
    std::fclose(file);
    return true;
}

bool VexoAnyxml::Load(const std::string& text) {
    TiXmlNode::Clear();
    ClearError();
    ParsePadded(text, TIXML_ENCODING_UTF8);
    // The old elements are gone either way; a cursor left on one would dangle.
    m_cursor = this;
    m_level = 0;
    if (Error()) {
        VEXO_LOG_EXCEPTION(L"%hs", ErrorDesc());
        return false;
    }
    return true;
}

void VexoAnyxml::Clear() { m_cursor->Clear(); }

bool VexoAnyxml::PushTag(const std::string& tag, int which) {
    const std::size_t colon = tag.find(':');
    const std::string name = (colon != std::string::npos && colon > 0) ? tag.substr(0, colon) : tag;
    TiXmlElement* e = NthChild(m_cursor, name, which);
    if (!e) {
        std::printf("PushTag - tag not found\n");
        std::fflush(stdout);
        return false;
    }
    m_cursor = e;
    ++m_level;
    return true;
}

int VexoAnyxml::PopTag() {
    if (m_level <= 0 || !m_cursor->Parent()) {
        m_cursor = this;
        m_level = 0;
    } else {
        m_cursor = m_cursor->Parent();
        --m_level;
    }
    return m_level;
}

TiXmlElement* VexoAnyxml::Find(const std::string& tag, int which, bool whichOnFirst) {
    const std::vector<std::string> names = SplitPath(tag);
    if (names.empty()) return nullptr;
    TiXmlNode* node = m_cursor;
    TiXmlElement* e = nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool picks = whichOnFirst ? i == 0 : i + 1 == names.size();
        e = NthChild(node, names[i], picks ? which : 0);
        if (!e) return nullptr;
        node = e;
    }
    return e;
}

bool VexoAnyxml::GetText(const std::string& tag, int which, std::string& text) {
    TiXmlElement* e = Find(tag, which, false);
    if (!e || !e->FirstChild() || !e->FirstChild()->ToText()) return false;
    text = e->FirstChild()->Value();
    return true;
}

int VexoAnyxml::GetValue(const std::string& tag, int def, int which) {
    std::string text;
    if (!GetText(tag, which, text)) return def;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str()) return def;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

double VexoAnyxml::GetValue(const std::string& tag, double def, int which) {
    std::string text;
    if (!GetText(tag, which, text)) return def;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return end == text.c_str() ? def : v;
}

VexoXString VexoAnyxml::GetValue(const std::string& tag, const VexoXString& def, int which) {
    std::string text;
    if (!GetText(tag, which, text)) return def;
    std::wstring wide = VexoUnicodeFromUtf8Lenient(text);
    if (wide.size() > kMaxValueChars) wide.resize(kMaxValueChars);
    return VexoXString(wide);
}

int VexoAnyxml::SetText(const std::string& tag, const std::string& text, int which) {
    const std::vector<std::string> names = SplitPath(tag);
    if (names.empty()) return -1;
    TiXmlNode* node = m_cursor;
    for (std::size_t i = 0; i < names.size(); ++i) {
        TiXmlElement* e = NthChild(node, names[i], i + 1 == names.size() ? which : 0);
        if (!e) e = node->LinkEndChild(new TiXmlElement(names[i].c_str()))->ToElement();
        node = e;
    }
    node->Clear();
    if (!text.empty()) node->LinkEndChild(new TiXmlText(text.c_str()));
    return CountNamed(names[0]) - 1;
}

int VexoAnyxml::SetValue(const std::string& tag, int value, int which) {
    return SetText(tag, Format("%i", value), which);
}

int VexoAnyxml::SetValue(const std::string& tag, double value, int which) {
    return SetText(tag, Format("%f", value), which);
}

int VexoAnyxml::SetValue(const std::string& tag, const VexoXString& value, int which) {
    return SetText(tag, VexoUnicodeToUtf8Lenient(value), which);
}

int VexoAnyxml::AddValue(const std::string& tag, const VexoXString& value) {
    const std::vector<std::string> names = SplitPath(tag);
    if (names.empty()) return -1;
    TiXmlNode* node = m_cursor;
    for (const std::string& name : names) node = node->LinkEndChild(new TiXmlElement(name.c_str()));
    const std::string text = VexoUnicodeToUtf8Lenient(value);
    if (!text.empty()) node->LinkEndChild(new TiXmlText(text.c_str()));
    return CountNamed(names[0]) - 1;
}

int VexoAnyxml::AddTag(const std::string& tag) { return AddValue(tag, VexoXString()); }

bool VexoAnyxml::TagExists(const std::string& tag, int which) {
    return Find(tag, which < 0 ? 0 : which, true) != nullptr;
}

void VexoAnyxml::RemoveTag(const std::string& tag, int which) {
    TiXmlElement* e = Find(tag, which < 0 ? 0 : which, true);
    if (e && e->Parent()) e->Parent()->RemoveChild(e);
}

void VexoAnyxml::ClearTagContents(const std::string& tag, int which) {
    TiXmlElement* e = Find(tag, which < 0 ? 0 : which, true);
    if (e) e->Clear();
}

int VexoAnyxml::GetNumTags(const std::string& tag) {
    const std::size_t colon = tag.find(':');
    return CountNamed(colon == std::string::npos ? tag : tag.substr(0, colon));
}

int VexoAnyxml::CountNamed(const std::string& name) {
    int n = 0;
    for (TiXmlElement* e = m_cursor->FirstChildElement(name.c_str()); e;
         e = e->NextSiblingElement(name.c_str()))
        ++n;
    return n;
}

VexoConfigOnXML::VexoConfigOnXML(const std::string& path) : m_path(path) { LoadConfig(); }

VexoConfigOnXML::~VexoConfigOnXML() { SaveConfig(); }

bool VexoConfigOnXML::LoadConfig() {
    const bool loaded = m_doc.LoadFile(m_path, false);
    // The parser takes a declaration with an unquoted attribute for the whole document and
    // reports success without the elements behind it; saved, they would be gone.
    const bool dropped = loaded && !m_doc.RootElement() && FileHoldsElement(m_path);
    if (loaded && !dropped) return true;
    const int error = m_doc.ErrorId();
    if (dropped || (error != TiXmlBase::TIXML_ERROR_OPENING_FILE &&
                    error != TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY)) {
        // Written back empty at shutdown it would be lost; set it aside where a person finds it.
        const std::string aside = m_path + ".unreadable";
        if (std::rename(m_path.c_str(), aside.c_str()) != 0) {
            VEXO_LOG_EXCEPTION(L"Configuration %hs does not parse and cannot be set aside; it "
                               L"will not be saved over",
                               m_path.c_str());
            m_keep = true;
            return false;
        }
        VEXO_LOG_EXCEPTION(L"Configuration %hs does not parse (%hs); kept as %hs", m_path.c_str(),
                           dropped ? "no element read" : m_doc.ErrorDesc(), aside.c_str());
    }
    m_doc.CreateFile(m_path, false);
    return m_doc.LoadFile(m_path, false);
}

bool VexoConfigOnXML::SaveConfig() {
    if (!m_keep) m_doc.SaveFile(m_path, false);
    return true;
}

}  // namespace VexoSource
