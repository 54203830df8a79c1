// A temporary folder for image and download files, removed with its contents.
#ifndef STM32_TESTS_WIN_TEMP_FILES_H
#define STM32_TESTS_WIN_TEMP_FILES_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/winctrl-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path_ = made;
    }
    ~TempFolder() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string full = file(name);
        std::ofstream out(full, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << full;
        return full;
    }
    std::string writeText(const std::string& name, const std::string& text) const {
        return write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }

private:
    std::string path_;
};

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) std::fclose(file);
    return file != nullptr;
}

// Deterministic bytes that are neither all 0xFF nor all zero.
inline std::vector<uint8_t> patternBytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

// One Intel HEX data record at a 16-bit address.
inline std::string hexRecord(uint16_t address, const std::vector<uint8_t>& data, uint8_t type = 0) {
    char buffer[16];
    std::string record = ":";
    uint32_t sum = static_cast<uint32_t>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buffer, sizeof buffer, "%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    record += buffer;
    for (uint8_t byte : data) {
        std::snprintf(buffer, sizeof buffer, "%02X", byte);
        record += buffer;
        sum += byte;
    }
    std::snprintf(buffer, sizeof buffer, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return record + buffer + "\n";
}

inline std::string hexLinearBase(uint16_t upper) {
    return hexRecord(0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)}, 4);
}

inline std::string hexEnd() { return ":00000001FF\n"; }

#endif
