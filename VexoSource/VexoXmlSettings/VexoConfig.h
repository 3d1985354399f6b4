// Persistent settings addressed by colon-separated tag paths ("INFO:NETWORK:UDPPORT_OUT"),
// kept in an XML file. Values are wide strings in the interface and UTF-8 text in the file.
//
// Paths are resolved under a cursor element (the document at first); PushTag moves the cursor
// down one level and PopTag back up. `which` picks among same-named siblings (0-based).
//
// Saving never leaves a half-written file: the document goes to a temporary file in the same
// folder, which is flushed and then renamed over the old one; a save that fails is logged and
// the previous file stays as it was. A file that exists but does not parse is renamed aside
// (".unreadable" appended) before an empty one takes its place, so no one's settings are
// overwritten without a trace.
#pragma once

#include <tinyxml.h>

#include <string>

#include "VexoCommon/VexoCommon.h"
#include "VexoSSet/VexoXString.h"

namespace VexoSource {

class VexoConfgBase {
public:
    virtual ~VexoConfgBase();
    virtual bool LoadConfig() = 0;
    virtual bool SaveConfig() = 0;
    // Number of elements under the cursor named like the first name of `tag`.
    virtual int GetNum(const std::string& tag) = 0;
    virtual int SetValue(const std::string& tag, int value, int which = 0) = 0;
    virtual int SetValue(const std::string& tag, double value, int which = 0) = 0;
    virtual int SetValue(const std::string& tag, const VexoXString& value, int which = 0) = 0;
    // Integers read with base detection ("0x1F" hexadecimal, "010" octal). A missing element,
    // one without text, or text that is not a number gives `def`.
    virtual int GetValue(const std::string& tag, int def, int which = 0) = 0;
    virtual double GetValue(const std::string& tag, double def, int which = 0) = 0;
    virtual VexoXString GetValue(const std::string& tag, const VexoXString& def,
                                 int which = 0) = 0;
    virtual bool PushTag(const std::string& tag, int which = 0) = 0;
    virtual int PopTag() = 0;
};

class VexoAnyxml : public TiXmlDocument {
public:
    // Longest text value handed out, in characters.
    static constexpr std::size_t kMaxValueChars = 1023;

    VexoAnyxml();

    // File operations: with useDataPath set the path goes through VexoToDataPath first.
    // Parses the file; the cursor returns to the document in any case.
    bool LoadFile(const std::string& path, bool useDataPath);
    // Atomic replace (see above). False, logged, when any step fails.
    bool SaveFile(const std::string& path, bool useDataPath);
    // Creates the file empty (and its folder when missing); "VexoFileCreate failed" on failure.
    bool CreateFile(const std::string& path, bool useDataPath);
    bool Load(const std::string& text);
    // Removes every child of the cursor.
    void Clear();

    bool PushTag(const std::string& tag, int which = 0);
    int PopTag();
    int GetPushLevel() const { return m_level; }

    int GetValue(const std::string& tag, int def, int which = 0);
    double GetValue(const std::string& tag, double def, int which = 0);
    VexoXString GetValue(const std::string& tag, const VexoXString& def, int which = 0);
    int SetValue(const std::string& tag, int value, int which = 0);
    int SetValue(const std::string& tag, double value, int which = 0);
    int SetValue(const std::string& tag, const VexoXString& value, int which = 0);
    int AddValue(const std::string& tag, const VexoXString& value);
    int AddTag(const std::string& tag);
    bool TagExists(const std::string& tag, int which = 0);
    void RemoveTag(const std::string& tag, int which = 0);
    void ClearTagContents(const std::string& tag, int which = 0);
    int GetNumTags(const std::string& tag);

private:
    bool ParsePadded(std::string text, TiXmlEncoding encoding);
    TiXmlElement* Find(const std::string& tag, int which, bool whichOnFirst);
    // Text of the element at the path, or false when there is none.
    bool GetText(const std::string& tag, int which, std::string& text);
    int SetText(const std::string& tag, const std::string& text, int which);
    int CountNamed(const std::string& name);

    TiXmlNode* m_cursor;
    int m_level = 0;
};

class VexoConfigOnXML : public VexoConfgBase {
public:
    // Stores the path and loads it (creating an empty file when there is none).
    explicit VexoConfigOnXML(const std::string& path);
    // Saves, then frees the document.
    ~VexoConfigOnXML() override;

    bool LoadConfig() override;
    bool SaveConfig() override;
    int GetNum(const std::string& tag) override { return m_doc.GetNumTags(tag); }
    int SetValue(const std::string& tag, int value, int which = 0) override {
        return m_doc.SetValue(tag, value, which);
    }
    int SetValue(const std::string& tag, double value, int which = 0) override {
        return m_doc.SetValue(tag, value, which);
    }
    int SetValue(const std::string& tag, const VexoXString& value, int which = 0) override {
        return m_doc.SetValue(tag, value, which);
    }
    int GetValue(const std::string& tag, int def, int which = 0) override {
        return m_doc.GetValue(tag, def, which);
    }
    double GetValue(const std::string& tag, double def, int which = 0) override {
        return m_doc.GetValue(tag, def, which);
    }
    VexoXString GetValue(const std::string& tag, const VexoXString& def,
                         int which = 0) override {
        return m_doc.GetValue(tag, def, which);
    }
    bool PushTag(const std::string& tag, int which = 0) override {
        return m_doc.PushTag(tag, which);
    }
    int PopTag() override { return m_doc.PopTag(); }

    VexoAnyxml& Document() { return m_doc; }
    const std::string& Path() const { return m_path; }

private:
    VexoAnyxml m_doc;
    std::string m_path;
    // The file on disk does not parse and could not be set aside: never save over it.
    bool m_keep = false;
};

}  // namespace VexoSource
