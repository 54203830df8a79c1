// JSON for scripts: the list of boards (-l --json) and one object per board
// and command (--json with -u, -d, -e). Field names and meanings are
// documented in the README and the man page; keep them stable.
#ifndef STM32_CLI_JSON_OUTPUT_H
#define STM32_CLI_JSON_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "stm32.h"
#include "targets.h"

namespace cli {

// A JSON string literal with its quotes; bytes outside printable ASCII are
// escaped, so the text stays valid whatever a board reports.
std::string jsonString(const std::string& text);

// One object, its members in the order added.
class JsonObject {
public:
    JsonObject& text(const std::string& key, const std::string& value);
    JsonObject& number(const std::string& key, int64_t value);
    JsonObject& seconds(const std::string& key, double value); // three decimals
    JsonObject& flag(const std::string& key, bool value);
    JsonObject& null(const std::string& key);
    std::string str() const { return "{" + members_ + "}"; }

private:
    JsonObject& member(const std::string& key, const std::string& value);
    std::string members_;
};

// A board of -l --json: what the list knows, and its flash when the layout read.
struct ListedBoard {
    BoardEntry board;
    bool flashRead = false;
    FlashInfo flash{};
};

// {"boards": [...]}, one board to a line.
std::string boardListDocument(const std::vector<ListedBoard>& boards);

// What one command did on one board.
struct BoardResult {
    std::string path;
    std::string serial;
    uint32_t command = STM32_CMD_UPLOAD;
    int status = 0;
    Stm32CommandReport report{};
    double seconds = 0;
};

std::string resultObject(const BoardResult& result);

// "upload", "download", "erase" or "list".
const char* commandName(uint32_t command);

} // namespace cli

#endif
