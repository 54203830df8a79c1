// Stored option settings and recent files ("Software\TidewireSTM32Utility\Prefs"):
// the registry on Windows, memory in tests and elsewhere.
#ifndef STM32_WIN_SETTINGS_STORE_H
#define STM32_WIN_SETTINGS_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "native_text.h"

// Names of the stored values under "Software\TidewireSTM32Utility\Prefs".
constexpr const char* kOptionsInUseValue = "OptionsInUse";
constexpr const char* kOptionsOffsetValue = "OptionsOffset";
constexpr const char* kOptionsSizeValue = "OptionsSize";
// Non-zero: write the debug trace (see startTrace).
constexpr const char* kTraceValue = "Trace";

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // false if the key or value is missing or unreadable.
    virtual bool readNumber(const char* name, uint32_t* value) = 0;
    // false if the key could not be opened or created.
    virtual bool writeNumber(const char* name, uint32_t value) = 0;
    virtual bool readString(const char* name, NativeString* value) = 0;
    virtual bool writeString(const char* name, const NativeString& value) = 0;
};

// SettingsStore kept in memory (tests, and platforms without a registry).
class MemorySettingsStore : public SettingsStore {
public:
    bool readNumber(const char* name, uint32_t* value) override;
    bool writeNumber(const char* name, uint32_t value) override;
    bool readString(const char* name, NativeString* value) override;
    bool writeString(const char* name, const NativeString& value) override;
    bool failWrites = false; // simulates a registry key that cannot be created
    bool failReads = false;  // simulates a registry key that cannot be opened
private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, uint32_t>> numbers_;
    std::vector<std::pair<std::string, NativeString>> strings_;
};

#ifdef _WIN32
// The registry store of the current user (HKCU\Software\TidewireSTM32Utility\Prefs).
std::unique_ptr<SettingsStore> createRegistrySettingsStore();
#endif

#endif
