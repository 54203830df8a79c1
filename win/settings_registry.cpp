// SettingsStore over the registry of the current user. Windows only.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "settings_store.h"

namespace {

const wchar_t kSoftwareKey[] = L"Software";
const wchar_t kProductKey[] = L"TidewireSTM32Utility";
const wchar_t kPrefsKey[] = L"Prefs";
const wchar_t kPrefsPath[] = L"Software\\TidewireSTM32Utility\\Prefs";
constexpr DWORD kStringBytes = kPathUnits * sizeof(wchar_t); // room for 520 bytes

class KeyHolder {
public:
    KeyHolder() = default;
    ~KeyHolder() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::wstring wideName(const char* name) {
    std::wstring wide;
    for (const char* p = name; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

bool openForReading(KeyHolder* prefs) {
    return RegOpenKeyExW(HKEY_CURRENT_USER, kPrefsPath, 0, KEY_READ, prefs->out()) == ERROR_SUCCESS;
}

// "Software" is opened, the product key and "Prefs" are created if missing.
bool openForWriting(KeyHolder* prefs) {
    KeyHolder software;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSoftwareKey, 0, KEY_ALL_ACCESS, software.out()) != ERROR_SUCCESS) {
        return false;
    }
    KeyHolder product;
    if (RegCreateKeyExW(software.get(), kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        product.out(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegCreateKeyExW(product.get(), kPrefsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           prefs->out(), nullptr) == ERROR_SUCCESS;
}

class RegistrySettingsStore : public SettingsStore {
public:
    bool readNumber(const char* name, uint32_t* value) override {
        KeyHolder prefs;
        if (!openForReading(&prefs)) return false;
        DWORD type = 0;
        DWORD number = 0;
        DWORD bytes = sizeof(number);
        const LONG status = RegQueryValueExW(prefs.get(), wideName(name).c_str(), nullptr, &type,
                                             reinterpret_cast<BYTE*>(&number), &bytes);
        if (status != ERROR_SUCCESS || type != REG_DWORD || bytes != sizeof(number)) return false;
        *value = number;
        return true;
    }

    bool writeNumber(const char* name, uint32_t value) override {
        KeyHolder prefs;
        if (!openForWriting(&prefs)) return false;
        const DWORD number = value;
        return RegSetValueExW(prefs.get(), wideName(name).c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&number), sizeof(number)) == ERROR_SUCCESS;
    }

    bool readString(const char* name, NativeString* value) override {
        KeyHolder prefs;
        if (!openForReading(&prefs)) return false;
        wchar_t text[kStringBytes / sizeof(wchar_t) + 1] = {};
        DWORD type = 0;
        DWORD bytes = kStringBytes;
        const LONG status =
            RegQueryValueExW(prefs.get(), wideName(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
        if (status != ERROR_SUCCESS || type != REG_SZ) return false;
        // A stored string need not carry its terminator; the extra unit above ends it.
        text[bytes / sizeof(wchar_t)] = L'\0';
        *value = text;
        if (value->size() >= static_cast<size_t>(kPathUnits)) value->resize(kPathUnits - 1);
        return true;
    }

    bool writeString(const char* name, const NativeString& value) override {
        KeyHolder prefs;
        if (!openForWriting(&prefs)) return false;
        const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        return RegSetValueExW(prefs.get(), wideName(name).c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
    }
};

} // namespace

std::unique_ptr<SettingsStore> createRegistrySettingsStore() {
    return std::unique_ptr<SettingsStore>(new RegistrySettingsStore());
}

#endif
