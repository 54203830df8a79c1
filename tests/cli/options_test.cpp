// Option scan and number parsing of stm32cmd.
#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using cli::CliOptions;
using cli::ParseResult;

struct Parsed {
    ParseResult result;
    CliOptions options;
    std::string error;
};

Parsed parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv{"stm32cmd"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Parsed parsed{ParseResult::Run, CliOptions{}, "stale"};
    parsed.result = cli::parseOptions(static_cast<int>(argv.size()), argv.data(), &parsed.options, &parsed.error);
    return parsed;
}

TEST(CliOptions, DefaultsWithOneOperand)
{
    const Parsed p = parse({"myprog.bin"});
    EXPECT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_FALSE(p.options.quiet);
    EXPECT_EQ(p.options.offset, 0u);
    EXPECT_EQ(p.options.size, -1);
    EXPECT_EQ(p.options.targetChoice, 0);
    EXPECT_EQ(p.options.downloadFile, "image.bin");
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"myprog.bin"});
}

TEST(CliOptions, LastCommandLetterWins)
{
    EXPECT_EQ(parse({"-l"}).options.command, 3u);
    EXPECT_EQ(parse({"-d"}).options.command, 1u);
    EXPECT_EQ(parse({"-e"}).options.command, 2u);
    EXPECT_EQ(parse({"-d", "-u"}).options.command, 0u);
    EXPECT_EQ(parse({"-ledu", "-e"}).options.command, 2u);
}

TEST(CliOptions, ValuesAttachedOrSeparate)
{
    EXPECT_EQ(parse({"-o", "0x400", "a.bin"}).options.offset, 0x400u);
    EXPECT_EQ(parse({"-o1024", "a.bin"}).options.offset, 1024u);
    EXPECT_EQ(parse({"-o0x400"}).options.offset, 0x400u);
    const Parsed grouped = parse({"-qdf", "out.bin", "-s4096", "-i", "2"});
    EXPECT_TRUE(grouped.options.quiet);
    EXPECT_EQ(grouped.options.command, 1u);
    EXPECT_EQ(grouped.options.downloadFile, "out.bin");
    EXPECT_EQ(grouped.options.size, 4096);
    EXPECT_EQ(grouped.options.targetChoice, 2);
    // The value takes the rest of the argument, letters included.
    const Parsed rest = parse({"-fdq"});
    EXPECT_EQ(rest.options.downloadFile, "dq");
    EXPECT_FALSE(rest.options.quiet);
    // A value that looks like an option is still the value.
    EXPECT_EQ(parse({"-f", "-d"}).options.downloadFile, "-d");
}

TEST(CliOptions, ScanStopsAtOperandDashAndDoubleDash)
{
    Parsed p = parse({"-d", "file.bin", "-e"});
    EXPECT_EQ(p.options.command, 1u);
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"file.bin", "-e"}));

    p = parse({"-", "-e"});
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"-", "-e"}));

    p = parse({"-q", "--", "-e"});
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"-e"});

    EXPECT_TRUE(parse({"--"}).options.operands.empty());
}

TEST(CliOptions, BadOptionsGiveTheirMessageAndUsage)
{
    Parsed p = parse({"-x"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "illegal option -- x\n");

    p = parse({"-qx"});
    EXPECT_EQ(p.error, "illegal option -- x\n");

    p = parse({"-:"});
    EXPECT_EQ(p.error, "illegal option -- :\n");

    p = parse({"--long"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "option '--long' is not known\n");

    p = parse({"-o"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "option requires an argument -- o\n");

    p = parse({"-d", "-f"});
    EXPECT_EQ(p.error, "option requires an argument -- f\n");
}

TEST(CliOptions, HelpLettersAskForUsageWithoutError)
{
    for (const char* help : {"-h", "-?", "-qh"}) {
        const Parsed p = parse({help});
        EXPECT_EQ(p.result, ParseResult::Usage) << help;
        EXPECT_EQ(p.error, "") << help;
    }
}

TEST(CliOptions, ValuesThatAreNotWholeNumbersAreRefused)
{
    // Each of these used to become another number silently (0, 8, 32, 0, ...).
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"-o", "0X8000", "a.bin"}, "-o: not a number: \"0X8000\""},
        {{"-o", "0x8OOO", "a.bin"}, "-o: not a number: \"0x8OOO\""},
        {{"-o", "32K", "a.bin"}, "-o: not a number: \"32K\""},
        {{"-o0x400g", "a.bin"}, "-o: not a number: \"0x400g\""},
        {{"-o", "abc", "a.bin"}, "-o: not a number: \"abc\""},
        {{"-d", "-s", "0x"}, "-s: not a number: \"0x\""},
        {{"-d", "-s", "4096 "}, "-s: not a number: \"4096 \""},
        {{"-d", "-s", ""}, "-s: not a number: \"\""},
        {{"-d", "-i", "x"}, "-i: not a number: \"x\" (a decimal number)"},
        {{"-d", "-i", "0x1"}, "-i: not a number: \"0x1\""},
    };
    for (const auto& [arguments, message] : cases) {
        std::vector<const char*> argv{"stm32cmd"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        CliOptions options;
        std::string error;
        EXPECT_EQ(cli::parseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error), ParseResult::Error)
            << message;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
        EXPECT_EQ(error.back(), '\n');
    }
    EXPECT_NE(parse({"-o", "x"}).error.find("hexadecimal after a lower-case \"0x\""), std::string::npos);
}

TEST(CliOptions, OutOfRangeNumbersAreParameterErrors)
{
    const Parsed p = parse({"-o", "0x100000000"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "number out of range -- 0x100000000\n");
    EXPECT_EQ(parse({"-s", "2147483648"}).result, ParseResult::Usage);
    EXPECT_EQ(parse({"-i", "99999999999"}).result, ParseResult::Usage);
}

TEST(CliUsage, TextLineByLine)
{
    const std::string text = cli::usageText("./stm32cmd");
    EXPECT_EQ(text.rfind("./stm32cmd: <file>\nVersion 1.1.1\nOptions:\n", 0), 0u);
    EXPECT_NE(text.find("\n./stm32cmd myprog.bin\n"), std::string::npos);
    EXPECT_NE(text.find("at (hex)address 8000400:\n./stm32cmd -o 0x400 myprog.bin\nExit codes:\n 0: Success\n"),
              std::string::npos);
    EXPECT_NE(text.find(" 9: Offset Alignment Error\n10: Invalid Start Address\n"), std::string::npos);
    // New options and statuses come after the classic lines, which keep their order.
    EXPECT_NE(text.find("-q no text output (quiet)\n-S serial number"), std::string::npos);
    EXPECT_NE(text.find("--help this text on standard output\nExample:\n"), std::string::npos);
    const std::string tail = "13: Firmware Too Big\n14: Read Protected\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(cli::exitStatusWords(3), "Device Write Error");
    EXPECT_EQ(cli::exitStatusWords(14), "Read Protected");
    EXPECT_EQ(cli::exitStatusWords(15), "");
    EXPECT_EQ(cli::exitStatusWords(-1), "");
}

TEST(CliOptions, LongOptionsBesideTheLetters)
{
    EXPECT_EQ(parse({"--help"}).result, ParseResult::Help);
    EXPECT_EQ(parse({"-d", "--help", "-x"}).result, ParseResult::Help);
    Parsed p = parse({"--list", "--verbose"});
    EXPECT_EQ(p.options.command, 3u);
    EXPECT_TRUE(p.options.verbose);
    p = parse({"--serial", "ABC123", "--skip-unchanged", "--no-start", "a.bin"});
    EXPECT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.options.serial, "ABC123");
    EXPECT_TRUE(p.options.serialGiven);
    EXPECT_TRUE(p.options.skipUnchanged);
    EXPECT_TRUE(p.options.noStart);
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"a.bin"});
    EXPECT_EQ(parse({"--serial=A=B"}).options.serial, "A=B");
    EXPECT_EQ(parse({"-SXYZ", "-kv"}).options.serial, "XYZ");
    EXPECT_TRUE(parse({"-kv"}).options.skipUnchanged);
    EXPECT_TRUE(parse({"--all", "a.bin"}).options.allBoards);
    // Long options end at the first operand like the letters do.
    EXPECT_EQ(parse({"a.bin", "--all"}).options.operands, (std::vector<std::string>{"a.bin", "--all"}));

    p = parse({"--serial"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "option '--serial' requires an argument\n");
    p = parse({"--all=yes"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "option '--all' doesn't allow an argument\n");
    // Unique abbreviations as getopt_long takes them; an exact name beats a longer one.
    EXPECT_TRUE(parse({"--al", "a.bin"}).options.allBoards);
    EXPECT_EQ(parse({"--se", "X"}).options.serial, "X");
    EXPECT_EQ(parse({"--s", "X"}).error, "option '--s' is ambiguous\n");
    EXPECT_EQ(parse({"--ski=1"}).error, "option '--skip-unchanged' doesn't allow an argument\n");
    EXPECT_EQ(parse({"--alll"}).error, "option '--alll' is not known\n");
    EXPECT_EQ(parse({"--h"}).result, ParseResult::Help);
    EXPECT_EQ(parse({"-S", ""}).result, ParseResult::Error);
}

// The message of a combination that checkCombinations refuses, or "" when it passes.
std::string refusal(std::initializer_list<const char*> arguments)
{
    const Parsed p = parse(arguments);
    EXPECT_EQ(p.result, ParseResult::Run);
    std::string error = "stale";
    const bool passes = cli::checkCombinations(p.options, &error);
    EXPECT_EQ(passes, error.empty()) << error;
    return error;
}

TEST(CliCombinations, OperandsOfCommandsThatTakeNone)
{
    EXPECT_EQ(refusal({"-d", "backup.bin"}),
              "-d takes no operand: backup.bin\nthe file a download writes is named with -f: did you mean -f backup.bin?\n");
    const std::string erase = refusal({"-e", "app.bin"});
    EXPECT_EQ(erase.rfind("-e takes no operand: app.bin\n", 0), 0u) << erase;
    EXPECT_NE(erase.find("to program app.bin, leave out -e"), std::string::npos) << erase;
    EXPECT_EQ(refusal({"-l", "a", "b"}), "-l takes no operand: a b\n");
    EXPECT_EQ(refusal({"-d", "-f", "out.bin", "--", "-x"}).rfind("-d takes no operand: -x\n", 0), 0u);
    EXPECT_EQ(refusal({"-d", "-f", "out.bin"}), "");
    EXPECT_EQ(refusal({"-e", "-s", "0"}), "");
    EXPECT_EQ(refusal({"-u", "a.bin"}), "");
}

TEST(CliCombinations, OptionsThatBelongElsewhereOrContradict)
{
    EXPECT_EQ(refusal({"-S", "A", "-i", "1", "a.bin"}), "-S and -i both choose the board: give one of them\n");
    EXPECT_EQ(refusal({"--all", "-i", "0", "a.bin"}), "--all uploads to every board: leave out -S and -i\n");
    EXPECT_EQ(refusal({"--all", "-S", "A", "a.bin"}), "--all uploads to every board: leave out -S and -i\n");
    EXPECT_EQ(refusal({"--all", "-d"}), "--all works with an upload only\n");
    EXPECT_EQ(refusal({"-k", "-e"}), "-k works with an upload only\n");
    EXPECT_EQ(refusal({"--no-start", "-d"}), "--no-start works with an upload only\n");
    EXPECT_EQ(refusal({"-v", "-d"}), "-v works with -l only\n");
    EXPECT_EQ(refusal({"-S", "A", "-d"}), "");
    EXPECT_EQ(refusal({"--all", "-k", "--no-start", "-q", "a.bin"}), "");
    EXPECT_EQ(refusal({"-l", "-v", "-q"}), "");
}

TEST(CliOptions, PortPathJsonWaitAndWatch)
{
    Parsed p = parse({"-p", "1-2.3", "--json", "-d"});
    EXPECT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.options.portPath, "1-2.3");
    EXPECT_TRUE(p.options.portPathGiven);
    EXPECT_TRUE(p.options.json);
    EXPECT_EQ(parse({"--path=2-1", "-d"}).options.portPath, "2-1");
    EXPECT_EQ(parse({"-p1-4", "-d"}).options.portPath, "1-4");
    EXPECT_EQ(parse({"-p", ""}).result, ParseResult::Error);

    // -w and a bare --wait wait 10 s; --wait takes its seconds only after '='.
    EXPECT_EQ(parse({"-w", "-l"}).options.waitSeconds, 10.0);
    EXPECT_EQ(parse({"--wait", "-l"}).options.waitSeconds, 10.0);
    EXPECT_EQ(parse({"--wait=2.5", "-l"}).options.waitSeconds, 2.5);
    EXPECT_EQ(parse({"--wait=30"}).options.waitSeconds, 30.0);
    p = parse({"--wait", "5", "a.bin"});
    EXPECT_EQ(p.options.waitSeconds, 10.0);
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"5", "a.bin"}));
    EXPECT_EQ(parse({"-l"}).options.waitSeconds, 0.0) << "no wait unless asked";
    for (const char* bad : {"--wait=", "--wait=0", "--wait=-1", "--wait=1s", "--wait=.", "--wait=86401", "--wait=1e3"}) {
        p = parse({bad, "-l"});
        EXPECT_EQ(p.result, ParseResult::Error) << bad;
        EXPECT_EQ(p.error.rfind("--wait: not a number of seconds", 0), 0u) << p.error;
    }
    EXPECT_EQ(parse({"--wa"}).error, "option '--wa' is ambiguous\n");
    EXPECT_TRUE(parse({"--all", "--watch", "a.bin"}).options.watch);
}

TEST(CliCombinations, ProductionLineOptionsThatContradict)
{
    EXPECT_EQ(refusal({"-p", "1-2", "-S", "A", "-d"}), "-p chooses the board by its USB port path: leave out -S and -i\n");
    EXPECT_EQ(refusal({"-p", "1-2", "-i", "0", "-d"}), "-p chooses the board by its USB port path: leave out -S and -i\n");
    EXPECT_EQ(refusal({"--all", "-p", "1-2", "a.bin"}), "--all uploads to every board: leave out -p\n");
    EXPECT_EQ(refusal({"--watch", "a.bin"}).rfind("--watch goes with --all", 0), 0u);
    EXPECT_EQ(refusal({"--all", "--watch", "--wait", "a.bin"}), "--watch waits for boards itself: leave out --wait\n");
    EXPECT_EQ(refusal({"--all", "--watch", "-d"}), "--all works with an upload only\n");
    EXPECT_EQ(refusal({"--unprotect", "--force", "--json"}), "--json reports -l, -u, -d and -e only\n");
    EXPECT_EQ(refusal({"--all", "--watch", "--json", "-q", "a.bin"}), "");
    EXPECT_EQ(refusal({"-l", "--json", "-w"}), "");
    EXPECT_EQ(refusal({"-p", "1-2", "--wait=3", "-e"}), "");
}

} // namespace
