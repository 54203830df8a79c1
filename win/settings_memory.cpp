#include "settings_store.h"

namespace {

template <typename Value>
Value* find(std::vector<std::pair<std::string, Value>>& values, const char* name) {
    for (auto& entry : values) {
        if (entry.first == name) return &entry.second;
    }
    return nullptr;
}

template <typename Value>
void store(std::vector<std::pair<std::string, Value>>& values, const char* name, const Value& value) {
    if (Value* existing = find(values, name)) {
        *existing = value;
    } else {
        values.emplace_back(name, value);
    }
}

} // namespace

bool MemorySettingsStore::readNumber(const char* name, uint32_t* value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const uint32_t* stored = failReads ? nullptr : find(numbers_, name);
    if (stored == nullptr) return false;
    *value = *stored;
    return true;
}

bool MemorySettingsStore::writeNumber(const char* name, uint32_t value) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (failWrites) return false;
    store(numbers_, name, value);
    return true;
}

bool MemorySettingsStore::readString(const char* name, NativeString* value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const NativeString* stored = failReads ? nullptr : find(strings_, name);
    if (stored == nullptr) return false;
    *value = *stored;
    return true;
}

bool MemorySettingsStore::writeString(const char* name, const NativeString& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (failWrites) return false;
    store(strings_, name, value);
    return true;
}
