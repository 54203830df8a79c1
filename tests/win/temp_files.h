// A temporary folder for image and download files, removed with its contents.
#ifndef STM32_TESTS_WIN_TEMP_FILES_H
#define STM32_TESTS_WIN_TEMP_FILES_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

// Paths are UTF-8 text here; u8path gives the right wide name on Windows.
inline std::filesystem::path fsPath(const std::string& utf8) { return std::filesystem::u8path(utf8); }

class TempFolder {
public:
    TempFolder() {
        std::error_code error;
        const auto base = std::filesystem::temp_directory_path(error);
        std::random_device seed;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = base / ("winctrl-" + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate, error)) path_ = candidate.u8string();
        }
    }
    ~TempFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(fsPath(path_), error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string full = file(name);
        std::ofstream out(fsPath(full), std::ios::binary);
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
    std::ifstream in(fsPath(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(fsPath(path), error);
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

// One Motorola S3 data record (32-bit address).
inline std::string srecRecord(uint32_t address, const std::vector<uint8_t>& data) {
    char buffer[16];
    const unsigned count = static_cast<unsigned>(data.size()) + 5;
    uint32_t sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
    std::snprintf(buffer, sizeof buffer, "S3%02X%08X", count, address);
    std::string record = buffer;
    for (uint8_t byte : data) {
        std::snprintf(buffer, sizeof buffer, "%02X", byte);
        record += buffer;
        sum += byte;
    }
    std::snprintf(buffer, sizeof buffer, "%02X", ~sum & 0xFF);
    return record + buffer + "\n";
}

// The S7 end record (start address 0).
inline std::string srecEnd() { return "S70500000000FA\n"; }

#endif
