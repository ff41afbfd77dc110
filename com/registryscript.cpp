#include "com/registryscript.h"

#include <cwctype>
#include <memory>
#include <new>

#include "com/check.h"
#include "com/module.h"
#include "com/owners.h"

namespace vexa {
namespace {

const HRESULT E_BAD_SCRIPT = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

struct ScriptValue {
    DWORD type = REG_SZ;
    std::wstring text; // REG_SZ
    DWORD number = 0;  // REG_DWORD
};

struct ScriptNode {
    enum class Mark { None, ForceRemove, NoRemove };
    bool isValue = false; // a named value ("val") rather than a key
    Mark mark = Mark::None;
    std::wstring name;
    bool hasValue = false; // the key's default value, or the named value
    ScriptValue value;
    std::vector<ScriptNode> children; // in script order
};

struct ScriptRoot {
    HKEY key;
    std::vector<ScriptNode> children;
};

HRESULT Win32Result(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

// Recursive-descent parser over the substituted text.
class Parser {
public:
    explicit Parser(const std::wstring& text) : m_text(text) {}

    bool ParseScript(std::vector<ScriptRoot>* roots)
    {
        for (;;) {
            SkipBlanks();
            if (AtEnd()) return true;
            std::wstring name;
            if (!ParseName(&name)) return false;
            ScriptRoot root{RootKey(name), {}};
            if (!root.key) return false;
            SkipBlanks();
            if (!AtBlockBrace() || !Take(L'{')) return false;
            if (!ParseBody(&root.children, false)) return false;
            roots->push_back(std::move(root));
        }
    }

private:
    static HKEY RootKey(const std::wstring& name)
    {
        struct { const wchar_t* short_; const wchar_t* long_; HKEY key; } const roots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
        };
        for (const auto& root : roots)
            if (_wcsicmp(name.c_str(), root.short_) == 0 || _wcsicmp(name.c_str(), root.long_) == 0)
                return root.key;
        return nullptr;
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    wchar_t Peek(std::size_t ahead = 0) const
    {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : L'\0';
    }
    void SkipBlanks()
    {
        while (!AtEnd() && std::iswspace(m_text[m_pos])) ++m_pos;
    }
    bool Take(wchar_t c)
    {
        if (Peek() != c) return false;
        ++m_pos;
        return true;
    }

    // Body of a block, up to and including its closing brace.
    bool ParseBody(std::vector<ScriptNode>* nodes, bool valuesAllowed)
    {
        for (;;) {
            SkipBlanks();
            if (AtEnd()) return false;
            if (Take(L'}')) return true;
            ScriptNode node;
            if (!ParseNode(&node, valuesAllowed)) return false;
            nodes->push_back(std::move(node));
        }
    }

    bool ParseNode(ScriptNode* node, bool valuesAllowed)
    {
        std::wstring word;
        bool quoted = Peek() == L'\'';
        if (!ParseName(&word)) return false;
        if (!quoted) {
            if (_wcsicmp(word.c_str(), L"val") == 0) {
                if (!valuesAllowed) return false;
                node->isValue = true;
                SkipBlanks();
                if (!ParseName(&node->name)) return false;
                return ParseAssignment(node, true);
            }
            ScriptNode::Mark mark = ScriptNode::Mark::None;
            if (_wcsicmp(word.c_str(), L"ForceRemove") == 0) mark = ScriptNode::Mark::ForceRemove;
            if (_wcsicmp(word.c_str(), L"NoRemove") == 0) mark = ScriptNode::Mark::NoRemove;
            if (mark != ScriptNode::Mark::None) {
                node->mark = mark;
                SkipBlanks();
                if (!ParseName(&word)) return false;
            }
        }
        node->name = word;
        if (!ParseAssignment(node, false)) return false;
        SkipBlanks();
        if (AtBlockBrace()) {
            Take(L'{');
            return ParseBody(&node->children, true);
        }
        return true;
    }

    // "= type 'value'": required for a named value, optional for a key.
    bool ParseAssignment(ScriptNode* node, bool required)
    {
        SkipBlanks();
        if (!Take(L'=')) return !required;
        SkipBlanks();
        std::wstring type;
        if (!ParseWord(&type)) return false;
        SkipBlanks();
        std::wstring text;
        if (Peek() == L'\'') {
            if (!ParseQuoted(&text)) return false;
        } else if (!ParseWord(&text)) {
            return false;
        }
        node->hasValue = true;
        if (_wcsicmp(type.c_str(), L"s") == 0) {
            node->value.type = REG_SZ;
            node->value.text = text;
            return true;
        }
        if (_wcsicmp(type.c_str(), L"d") == 0) {
            wchar_t* end = nullptr;
            unsigned long number = wcstoul(text.c_str(), &end, 0);
            if (text.empty() || *end != L'\0') return false;
            node->value.type = REG_DWORD;
            node->value.number = static_cast<DWORD>(number);
            return true;
        }
        return false;
    }

    bool ParseName(std::wstring* name)
    {
        if (Peek() == L'\'') return ParseQuoted(name);
        return ParseWord(name);
    }

    bool ParseQuoted(std::wstring* text)
    {
        if (!Take(L'\'')) return false;
        text->clear();
        for (;;) {
            if (AtEnd()) return false;
            wchar_t c = m_text[m_pos++];
            if (c == L'\'') {
                if (!Take(L'\'')) return true;
            }
            text->push_back(c);
        }
    }

    // An opening brace followed by a blank opens a block; otherwise it starts a name.
    bool AtBlockBrace() const
    {
        return Peek() == L'{' && (Peek(1) == L'\0' || std::iswspace(Peek(1)) || Peek(1) == L'}');
    }

    // A bare word. A brace that is not followed by a blank starts a word too, so that a
    // braced GUID can be a key name.
    bool ParseWord(std::wstring* word)
    {
        word->clear();
        if (AtBlockBrace()) return false;
        std::size_t start = m_pos;
        bool inBraces = false;
        while (!AtEnd()) {
            wchar_t c = m_text[m_pos];
            if (std::iswspace(c) || c == L'=' || c == L'\'') break;
            if (c == L'{') {
                if (m_pos != start) break;
                inBraces = true;
            } else if (c == L'}') {
                if (!inBraces) break;
                ++m_pos;
                break;
            }
            ++m_pos;
        }
        if (m_pos == start) return false;
        word->assign(m_text, start, m_pos - start);
        return true;
    }

    const std::wstring& m_text;
    std::size_t m_pos = 0;
};

// Fills in %NAME% placeholders. Values are doubled-quote escaped: they stand inside the
// script's quoted strings, and the registry must receive them unchanged.
bool Substitute(const std::wstring& script, const ScriptReplacements& replacements,
                std::wstring* out)
{
    out->clear();
    out->reserve(script.size());
    std::size_t pos = 0;
    while (pos < script.size()) {
        wchar_t c = script[pos];
        if (c != L'%') {
            out->push_back(c);
            ++pos;
            continue;
        }
        std::size_t close = script.find(L'%', pos + 1);
        if (close == std::wstring::npos) return false;
        std::wstring name = script.substr(pos + 1, close - pos - 1);
        pos = close + 1;
        if (name.empty()) {
            out->push_back(L'%');
            continue;
        }
        bool found = false;
        for (const auto& replacement : replacements) {
            if (_wcsicmp(replacement.first.c_str(), name.c_str()) != 0) continue;
            for (wchar_t v : replacement.second) {
                out->push_back(v);
                if (v == L'\'') out->push_back(L'\'');
            }
            found = true;
            break;
        }
        if (!found) return false;
    }
    return true;
}

HRESULT SetValue(HKEY key, const wchar_t* name, const ScriptValue& value)
{
    if (value.type == REG_DWORD)
        return Win32Result(RegSetValueExW(key, name, 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD)));
    DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
    return Win32Result(RegSetValueExW(key, name, 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(value.text.c_str()), bytes));
}

HRESULT RegisterNodes(HKEY parent, const std::vector<ScriptNode>& nodes)
{
    for (const ScriptNode& node : nodes) {
        if (node.isValue) {
            if (node.hasValue) {
                HRESULT hr = SetValue(parent, node.name.c_str(), node.value);
                if (FAILED(hr)) return hr;
            }
            continue;
        }
        if (node.mark == ScriptNode::Mark::ForceRemove) {
            // No stale subkeys or values survive under a force-removed key.
            LONG rc = RegDeleteTreeW(parent, node.name.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Win32Result(rc);
        }
        unique_hkey key;
        LONG rc = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
        if (rc != ERROR_SUCCESS) return Win32Result(rc);
        if (node.hasValue) {
            HRESULT hr = SetValue(key.get(), nullptr, node.value);
            if (FAILED(hr)) return hr;
        }
        HRESULT hr = RegisterNodes(key.get(), node.children);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT UnregisterNodes(HKEY parent, const std::vector<ScriptNode>& nodes)
{
    for (const ScriptNode& node : nodes) {
        if (node.isValue) {
            LONG rc = RegDeleteValueW(parent, node.name.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Win32Result(rc);
            continue;
        }
        DWORD subkeys = 0;
        {
            unique_hkey key;
            LONG rc = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
            if (rc == ERROR_FILE_NOT_FOUND) continue;
            if (rc != ERROR_SUCCESS) return Win32Result(rc);
            HRESULT hr = UnregisterNodes(key.get(), node.children);
            if (FAILED(hr)) return hr;
            rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) return Win32Result(rc);
        }
        // Subkeys that other software added keep the key alive.
        if (node.mark == ScriptNode::Mark::NoRemove || subkeys != 0) continue;
        LONG rc = RegDeleteKeyW(parent, node.name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Win32Result(rc);
    }
    return S_OK;
}

} // namespace

HRESULT ModuleScriptReplacements(HINSTANCE module, ScriptReplacements* replacements) noexcept
{
    if (!replacements) return E_POINTER;
    VEXA_TRY
        replacements->clear();
        std::wstring path;
        HRESULT hr = ModuleFileName(module, &path);
        if (FAILED(hr)) return hr;
        replacements->emplace_back(L"MODULE", std::move(path));
        replacements->emplace_back(L"APPID", std::wstring());
        return S_OK;
    VEXA_COM_CATCH
}

HRESULT RunRegistryScript(const std::wstring& script, const ScriptReplacements& replacements,
                          bool doRegister) noexcept
{
    VEXA_TRY
        std::wstring text;
        if (!Substitute(script, replacements, &text)) return E_BAD_SCRIPT;
        std::vector<ScriptRoot> roots;
        Parser parser(text);
        if (!parser.ParseScript(&roots)) return E_BAD_SCRIPT;
        for (const ScriptRoot& root : roots) {
            HRESULT hr = doRegister ? RegisterNodes(root.key, root.children)
                                    : UnregisterNodes(root.key, root.children);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    VEXA_COM_CATCH
}

HRESULT RunRegistryScriptResource(HINSTANCE module, UINT resourceId,
                                  const ScriptReplacements& replacements, bool doRegister) noexcept
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    if (!resource) return LastErrorResult();
    HGLOBAL loaded = LoadResource(module, resource);
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    DWORD size = SizeofResource(module, resource);
    if (!data) return LastErrorResult();
    VEXA_TRY
        // The scripts are stored as 8-bit text in the ANSI code page.
        std::wstring script;
        if (size > 0) {
            int chars = MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(size), nullptr, 0);
            if (chars <= 0) return LastErrorResult();
            script.resize(chars);
            MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(size), &script[0], chars);
        }
        // A resource may be padded with terminating zeros.
        while (!script.empty() && script.back() == L'\0') script.pop_back();
        return RunRegistryScript(script, replacements, doRegister);
    VEXA_COM_CATCH
}

} // namespace vexa
