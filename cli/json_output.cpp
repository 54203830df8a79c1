#include "json_output.h"

#include <cstdio>

#include "open_failure.h"
#include "options.h"

namespace cli {

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Serial and product strings come from the board as bytes of any value.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::member(const std::string& key, const std::string& value)
{
    members_ += (members_.empty() ? "" : ", ") + jsonString(key) + ": " + value;
    return *this;
}

JsonObject& JsonObject::text(const std::string& key, const std::string& value)
{
    return member(key, jsonString(value));
}

JsonObject& JsonObject::number(const std::string& key, int64_t value) { return member(key, std::to_string(value)); }

JsonObject& JsonObject::seconds(const std::string& key, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value < 0 ? 0.0 : value);
    return member(key, text);
}

JsonObject& JsonObject::flag(const std::string& key, bool value) { return member(key, value ? "true" : "false"); }

JsonObject& JsonObject::null(const std::string& key) { return member(key, "null"); }

namespace {

// A field that a board could not give is null rather than empty.
JsonObject& textOrNull(JsonObject& object, const std::string& key, bool known, const std::string& value)
{
    return known ? object.text(key, value) : object.null(key);
}

std::string listedObject(const ListedBoard& listed)
{
    const BoardEntry& board = listed.board;
    const Stm32DeviceDetails& details = board.details;
    const bool opened = board.detailsRead && details.openResult == 0;
    JsonObject object;
    object.number("index", board.choice).number("listId", board.listId);
    textOrNull(object, "path", !board.path.empty(), board.path);
    textOrNull(object, "serial", opened, details.serial);
    textOrNull(object, "product", opened, details.product);
    if (board.detailsRead) object.number("bcdDevice", details.bcdDevice);
    else object.null("bcdDevice");
    textOrNull(object, "layout", opened && details.layout[0] != '\0', details.layout);
    if (board.detailsRead) object.number("transferSize", details.transferSize);
    else object.null("transferSize");
    if (listed.flashRead) {
        object.number("flashStart", listed.flash.startAddress).number("flashSize", listed.flash.flashSize);
    } else {
        object.null("flashStart").null("flashSize");
    }
    textOrNull(object, "openError", board.detailsRead && details.openResult != 0,
               board.detailsRead ? stm32OpenFailureWords(details.openResult) : "");
    return object.str();
}

} // namespace

std::string boardListDocument(const std::vector<ListedBoard>& boards)
{
    std::string text = "{\"boards\": [";
    for (size_t i = 0; i < boards.size(); ++i) text += (i == 0 ? "\n  " : ",\n  ") + listedObject(boards[i]);
    return text + (boards.empty() ? "]}" : "\n]}");
}

const char* commandName(uint32_t command)
{
    switch (command) {
    case STM32_CMD_UPLOAD: return "upload";
    case STM32_CMD_DOWNLOAD: return "download";
    case STM32_CMD_ERASE: return "erase";
    default: return "list";
    }
}

std::string resultObject(const BoardResult& result)
{
    JsonObject object;
    textOrNull(object, "path", !result.path.empty(), result.path);
    textOrNull(object, "serial", !result.serial.empty(), result.serial);
    object.text("command", commandName(result.command)).number("result", result.status);
    const std::string words = exitStatusWords(result.status);
    textOrNull(object, "resultName", !words.empty(), words);
    object.number("bytes", result.report.bytes)
        .number("pagesErased", result.report.pagesErased)
        .number("pagesWritten", result.report.pagesWritten)
        .number("pagesSkipped", result.report.pagesSkipped)
        .flag("massErase", result.report.massErase != 0)
        .seconds("seconds", result.seconds);
    return object.str();
}

} // namespace cli
