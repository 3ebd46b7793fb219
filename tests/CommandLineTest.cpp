// The argument parser and command dispatch that kx1 and unitsim share.
#include "CoreSystem/CommandLine.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/CommandProgram.h"
#include "TestSupport.h"

namespace {

using CoreSystem::Command;
using CoreSystem::CommandLine;
using CoreSystem::CommandProgram;
using CoreSystem::OptionKind;
using TestSupport::ProgramRun;
using Words = std::vector<std::string>;

Command sampleCommand() {
    return {.name = "sample",
            .options = {{"--json"},
                        {"--key", OptionKind::value},
                        {"--env", OptionKind::repeatedValue},
                        {"--need", OptionKind::requiredValue}},
            .minimumArguments = 1,
            .maximumArguments = 2};
}

TEST(CommandLineTest, SplitsOptionsFromPositionalArguments) {
    struct Case {
        const char* name;
        Words words;
        Words positionals;
        // Each option given and its values, with "" for a flag.
        std::map<std::string, Words> options;
    };
    const std::vector<Case> cases = {
        {"flag between arguments",
         {"a", "--json", "b", "--need", "n"},
         {"a", "b"},
         {{"--json", {""}}, {"--need", {"n"}}}},
        {"value after an equals sign, split at the first",
         {"--need=x=y", "a"},
         {"a"},
         {{"--need", {"x=y"}}}},
        {"a value may begin with dashes",
         {"--need", "--json", "a"},
         {"a"},
         {{"--need", {"--json"}}}},
        {"one dash is no option", {"-5", "-", "--need", "n"}, {"-5", "-"}, {{"--need", {"n"}}}},
        {"words after -- are positional",
         {"--need", "n", "--", "--json", "--help"},
         {"--json", "--help"},
         {{"--need", {"n"}}}},
        {"repeated option keeps every value in order",
         {"a", "--env", "A=1", "--need", "", "--env=B=2"},
         {"a"},
         {{"--env", {"A=1", "B=2"}}, {"--need", {""}}}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Command command = sampleCommand();
        const CommandLine line("program", command, testCase.words);
        EXPECT_EQ(line.positionals(), testCase.positionals);
        for (const char* option : {"--json", "--key", "--env", "--need"}) {
            const auto given = testCase.options.find(option);
            EXPECT_EQ(line.has(option), given != testCase.options.end()) << option;
            EXPECT_EQ(line.values(option),
                      given == testCase.options.end() ? Words{} : given->second)
                << option;
            EXPECT_EQ(line.value(option), given == testCase.options.end()
                                              ? std::nullopt
                                              : std::optional(given->second.back()))
                << option;
        }
    }
}

TEST(CommandLineTest, RefusesWhatTheCommandDoesNotTake) {
    const std::vector<std::pair<Words, std::string>> cases = {
        {{"a", "--need", "n", "--colour"}, "unknown option '--colour'"},
        {{"a", "--need", "n", "--colour=red"}, "unknown option '--colour'"},
        {{"a", "--need", "n", "--json=yes"}, "--json takes no value"},
        {{"a", "--need"}, "--need needs a value"},
        {{"a", "--need", "n", "--key", "1", "--key=2"}, "--key is given twice"},
        {{"a", "--key", "1"}, "--need is required"},
        {{"--need", "n"}, "too few arguments"},
        {{"a", "b", "c", "--need", "n"}, "unexpected argument 'c'"},
    };
    const Command command = sampleCommand();
    for (const auto& [words, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(words));
        try {
            const CommandLine line("program", command, words);
            ADD_FAILURE() << "accepted";
        } catch (const CoreSystem::UsageError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

// What the commands of the sample program were run with, and what they do.
Words ranWith;

int recordArguments(const CommandLine& line) {
    ranWith = line.positionals();
    ranWith.insert(ranWith.begin(), std::string(line.command().name));
    return 0;
}

ProgramRun runSampleProgram(const Words& words) {
    const CommandProgram program(
        "prog", "COMMAND [ARGUMENTS]", "Does things.",
        {{.name = "group one",
          .summary = "the first of a group",
          .usage = "FILE [--wide]\n[--deep]",
          .help = "One of a group.\n",
          .options = {{"--wide"}, {"--deep"}},
          .minimumArguments = 1,
          .maximumArguments = 1,
          .run = recordArguments},
         {.name = "group", .summary = "the group's own", .run = recordArguments},
         {.name = "refuse",
          .summary = "a wrong call found late",
          .usage = "",
          .run = [](const CommandLine&) -> int { throw CoreSystem::UsageError("not like that"); }},
         {.name = "fail",
          .summary = "a command that fails",
          .usage = "[--thrown]",
          .options = {{"--thrown"}},
          .run = [](const CommandLine& line) {
              if (line.has("--thrown")) {
                  throw std::runtime_error("broke");
              }
              return line.fail("did not work");
          }}});
    ranWith.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = program.run(words);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, std::move(out), testing::internal::GetCapturedStderr()};
}

TEST(CommandProgramTest, RunsTheCommandWithTheMostWordsThatMatch) {
    EXPECT_EQ(runSampleProgram({"group", "one", "x", "--wide"}).status, 0);
    EXPECT_EQ(ranWith, (Words{"group one", "x"}));
    EXPECT_EQ(runSampleProgram({"group"}).status, 0);
    EXPECT_EQ(ranWith, (Words{"group"}));
}

TEST(CommandProgramTest, HelpGoesToStdoutAndWinsOverEverythingBeforeTwoDashes) {
    const ProgramRun overview = runSampleProgram({"-h"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_EQ(overview.out,
              "usage: prog COMMAND [ARGUMENTS]\n\nDoes things.\n\ncommands:\n"
              "  group one   the first of a group\n"
              "  group       the group's own\n"
              "  refuse      a wrong call found late\n"
              "  fail        a command that fails\n\n"
              "Run \"prog COMMAND --help\" for the arguments and options of a command.\n"
              "Exit status: 0 success, 1 failure, 2 wrong use.\n");
    const std::string help =
        "usage: prog group one FILE [--wide]\n"
        "                      [--deep]\n\n"
        "One of a group.\n";
    for (const Words& words :
         {Words{"group", "one", "--help"}, Words{"group", "one", "a", "b", "--colour", "--help"}}) {
        const ProgramRun run = runSampleProgram(words);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, help);
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(ranWith.empty());
    }
    const ProgramRun positional = runSampleProgram({"group", "one", "--", "--help"});
    EXPECT_EQ(positional.status, 0);
    EXPECT_EQ(ranWith, (Words{"group one", "--help"}));
}

TEST(CommandProgramTest, WrongCallsAndFailuresHaveTheirExitStatusAndLines) {
    const std::string programUsage = "usage: prog COMMAND [ARGUMENTS]\n";
    const std::string groupOneUsage =
        "usage: prog group one FILE [--wide]\n"
        "                      [--deep]\n";
    struct Case {
        Words words;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, 2, "prog: no command given (see prog --help)\n" + programUsage},
        {{"other"}, 2, "prog: unknown command 'other' (see prog --help)\n" + programUsage},
        {{"group", "two"}, 2, "prog group: unexpected argument 'two'\nusage: prog group\n"},
        {{"group", "one"}, 2, "prog group one: too few arguments\n" + groupOneUsage},
        {{"refuse"}, 2, "prog refuse: not like that\nusage: prog refuse\n"},
        {{"fail"}, 1, "prog fail: did not work\n"},
        {{"fail", "--thrown"}, 1, "prog fail: broke\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testing::PrintToString(testCase.words));
        const ProgramRun run = runSampleProgram(testCase.words);
        EXPECT_EQ(run.status, testCase.status);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, testCase.err);
        EXPECT_TRUE(ranWith.empty());
    }
}

}  // namespace
