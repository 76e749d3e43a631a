// PostgreSQL in a real server that the test starts: -stamp-state= with a
// sequence (a counter) and with a table (a list) shared by two stations on
// two benches; -log= as rows of a table under single runs, -all and
// -station; a server that cannot be reached at the start, and one that
// stops in the middle of a station.
#include "pg_server.h"
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

using nlohmann::json;

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

bool wait_for(const std::string &path, const std::string &piece, size_t times = 1)
{
    for (int waited = 0; waited < 2000; ++waited) {
        if (count_of(read_whole_file(path), piece) >= times)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

constexpr uint32_t STAMP_AT = 0x7F00;

// A firmware with a placeholder of 16 zero bytes at STAMP_AT.
std::string stamped_firmware()
{
    std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x100);
    for (uint32_t i = 0; i < 16; ++i)
        bytes[STAMP_AT + i] = 0;
    return write_scratch_file("database_stamped.hex", hex_file_for(bytes));
}

class Database : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (IsSkipped())
            return;
        if (pg_server_binaries().empty())
            GTEST_SKIP() << "SKIPPED: no PostgreSQL server is installed: install postgresql (the README's Quick "
                            "start installs it)";
        ASSERT_EQ(pg_server_start(server), "");
    }
    void TearDown() override
    {
        pg_server_remove(server);
        SimulatedBench::TearDown();
    }

    // The rows of the table, oldest first: each line (jsonb, as text) and
    // its columns.
    std::vector<json> rows(const std::string &table)
    {
        ProcessResult result = pg_sql(server, "SELECT json_build_object('line', line, 'time', \"time\" AT TIME ZONE "
                                              "'UTC', 'serial', serial, 'location', location, 'result', result, "
                                              "'stamp', stamp) FROM " + table + " ORDER BY id");
        EXPECT_EQ(result.status, 0) << result.err;
        std::vector<json> all;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);)
            all.push_back(json::parse(line));
        return all;
    }

    PgServer server;
    const std::string hex = example_hex_path();
};

// Two stations started together on two benches (their boards' USB IDs
// differ), five boards each, both taking their values from one sequence
// and logging into one table: ten boards, ten values, none twice; each
// board's row carries the value that its flash holds.
TEST_F(Database, TwoStationsDrawFromOneSequence)
{
    const std::string file = stamped_firmware();
    std::vector<BackgroundRun> runs;
    for (const char *bench : {"-usb=5e1a:1", "-usb=5e1a:2"})
        runs.push_back(start_quorvel({"-station=5", "-stamp=0x7F00,u32le", "-stamp-from=1000",
                                      "-stamp-state=" + pg_url(server, "sequence=serials"),
                                      "-log=" + pg_url(server, "table=boards"), "-mmcu=atmega32u4", bench, file}));
    for (int number = 0; number < 5; ++number) {
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        add_device(number + 5, 0x5E1A, 0x0002, numbered_board(number + 5));
    }
    for (BackgroundRun &run : runs) {
        ProcessResult ended = finish_quorvel(run, 60);
        EXPECT_EQ(ended.status, 0) << ended.err;
    }
    std::map<std::string, uint32_t> flashed;  // serial -> the value in its flash
    std::set<uint32_t> values;
    for (int number = 0; number < 10; ++number) {
        const SimResult sim = finish(number);
        ASSERT_GE(sim.flash.size(), STAMP_AT + 4u);
        uint32_t value = 0;
        for (uint32_t i = 0; i < 4; ++i)
            value |= uint32_t(sim.flash[STAMP_AT + i]) << (8 * i);
        flashed["QV-" + std::to_string(number)] = value;
        values.insert(value);
    }
    std::set<uint32_t> thousand_to_1009;
    for (uint32_t v = 1000; v < 1010; ++v)
        thousand_to_1009.insert(v);
    EXPECT_EQ(values, thousand_to_1009);
    // Made by the first station to start, at -stamp-from=, and used up to 1009.
    EXPECT_EQ(pg_sql(server, "SELECT last_value FROM serials").out, "1009\n");
    const std::vector<json> logged = rows("boards");
    ASSERT_EQ(logged.size(), 10u);
    for (const json &row : logged) {
        EXPECT_EQ(row["result"], "done") << row;
        EXPECT_EQ(row["stamp"], std::to_string(flashed[row["serial"]])) << row;
        EXPECT_EQ(row["line"]["stamp"], row["stamp"]) << row;
    }
}

// A list claimed from a table by two stations: the first to start fills
// the table from the list file; every board gets a line of its own, as
// text (ascii:16), and every row ends taken. The dry run then, and a run
// when none is left, take nothing and write nothing.
TEST_F(Database, TwoStationsClaimAListFromOneTable)
{
    const std::string file = stamped_firmware();
    std::string list_text = "# batch 12\n";
    std::set<std::string> serials;
    for (int i = 0; i < 10; ++i) {
        serials.insert("SN-2026-" + std::to_string(500 + i));
        list_text += "SN-2026-" + std::to_string(500 + i) + (i == 4 ? "\n\n" : "\n");
    }
    const std::string list = write_scratch_file("database_serials.txt", list_text);
    const std::string state = "-stamp-state=" + pg_url(server, "table=serials");
    ProcessResult dry = run_quorvel({"-n", "-stamp=0x7F00,ascii:16", "-stamp-list=" + list, state,
                                     "-mmcu=atmega32u4", file});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("SN-2026-500"), std::string::npos) << dry.out;
    EXPECT_EQ(pg_sql(server, "SELECT to_regclass('serials') IS NULL").out, "t\n");  // the dry run made nothing

    std::vector<BackgroundRun> runs;
    for (const char *bench : {"-usb=5e1a:1", "-usb=5e1a:2"})
        runs.push_back(start_quorvel({"-station=5", "-stamp=0x7F00,ascii:16", "-stamp-list=" + list, state,
                                      "-mmcu=atmega32u4", bench, file}));
    for (int number = 0; number < 5; ++number) {
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        add_device(number + 5, 0x5E1A, 0x0002, numbered_board(number + 5));
    }
    for (BackgroundRun &run : runs) {
        ProcessResult ended = finish_quorvel(run, 60);
        EXPECT_EQ(ended.status, 0) << ended.err;
    }
    std::set<std::string> flashed;
    for (int number = 0; number < 10; ++number) {
        const SimResult sim = finish(number);
        ASSERT_GE(sim.flash.size(), STAMP_AT + 16u);
        const std::string text(sim.flash.begin() + STAMP_AT, sim.flash.begin() + STAMP_AT + 16);
        flashed.insert(text.substr(0, text.find('\0')));
        EXPECT_EQ(text.substr(text.find('\0')), std::string(16 - text.find('\0'), '\0')) << number;
    }
    EXPECT_EQ(flashed, serials);
    EXPECT_EQ(pg_sql(server, "SELECT count(*), count(taken) FROM serials").out, "10|10\n");

    // None left: refused before the board, which takes no report.
    reset();
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    ProcessResult none = run_quorvel({"-stamp=0x7F00,ascii:16", "-stamp-list=" + list, state, "-mmcu=atmega32u4",
                                      "-usb=5e1a:1", file});
    EXPECT_EQ(none.status, 1) << none.err;
    EXPECT_NE(none.err.find("has run out: no value is left to take\nNothing was written."), std::string::npos)
        << none.err;
    EXPECT_EQ(finish(0).frames.size(), 0u);
    dry = run_quorvel({"-n", "-stamp=0x7F00,ascii:16", "-stamp-list=" + list, state, "-mmcu=atmega32u4", file});
    EXPECT_EQ(dry.status, 1) << dry.out;
    EXPECT_NE(dry.err.find("has run out: every one of its 10 values was taken"), std::string::npos) << dry.err;
}

// A -stamp-state= database that cannot be used: refused before any board.
TEST_F(Database, StampStateRefusedBeforeAnyBoard)
{
    const std::string file = stamped_firmware();
    pg_sql(server, "CREATE ROLE visitor LOGIN; CREATE SEQUENCE closed");
    const struct {
        const char *label;
        std::vector<std::string> options;
        std::string err;
    } cases[] = {
        {"no server", {"-stamp-from=1", "-stamp-state=postgresql://quorvel@/postgres?host=/nonexistent&sequence=s"},
         "quorvel: cannot take stamp values from postgresql://quorvel@/postgres?host=/nonexistent&sequence=s: "
         "connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed: No such file or directory"},
        {"a counter without its sequence", {"-stamp-from=1", "-stamp-state=" + pg_url(server, "table=t")},
         "-stamp-state=postgresql://USER@HOST/DATABASE?sequence=NAME"},
        {"a sequence the user may not use",
         {"-stamp-from=1", "-stamp-state=" + pg_url(server, "sequence=closed&user=visitor")},
         "the user may not take values of the sequence closed"},
        {"a counter past a sequence's values", {"-stamp-from=9223372036854775808", "-stamp-state=" + pg_url(server, "sequence=s")},
         "the largest value of a PostgreSQL sequence"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        reset();
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        std::vector<std::string> arguments{"-stamp=0x7F00,u64le", "-mmcu=atmega32u4", "-usb=5e1a:1", "-all", file};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        ProcessResult result = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        EXPECT_EQ(finish(0).frames.size(), 0u);
    }
}

// One row per board under a single run, -all and a station; each row's
// line is the line the file form writes (the same fields and values, but
// for the time and the seconds), and its columns are the line's.
TEST_F(Database, OneRowPerBoardEqualToTheFileLine)
{
    const std::string url = pg_url(server, "table=boards");
    const std::string file = scratch_dir() + "/database.log";
    std::remove(file.c_str());
    // The same board, logged to the file and then to the table.
    for (const std::string &log : {file, url}) {
        reset();
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        ProcessResult run = run_quorvel({"-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", "-device=/dev/hidraw0", hex});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    std::vector<json> logged = rows("boards");
    ASSERT_EQ(logged.size(), 1u);
    json from_file = json::parse(read_whole_file(file));
    json from_table = logged[0]["line"];
    EXPECT_NE(from_file["time"], "");
    EXPECT_EQ(std::string(from_table["time"]).substr(0, 10), std::string(from_file["time"]).substr(0, 10));
    for (json *line : {&from_file, &from_table}) {
        line->erase("time");
        line->erase("seconds");
    }
    EXPECT_EQ(from_table, from_file);

    // -all of two boards, then a station of two: a row each.
    reset();
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    add_device(1, 0x5E1A, 0x0001, numbered_board(1, 10));
    ProcessResult all = run_quorvel({"-all", "-log=" + url, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(all.status, 1) << all.err;  // board 1 stalls
    reset();
    BackgroundRun station = start_quorvel({"-station", "-log=" + url, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    add_device(2, 0x5E1A, 0x0001, numbered_board(2));
    add_device(3, 0x5E1A, 0x0001, numbered_board(3));
    ASSERT_TRUE(wait_for(station.out_path, "\tDone in ", 2));
    kill(station.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(station, 20);
    EXPECT_NE(ended.err.find("2 boards done, 0 failed"), std::string::npos) << ended.err;
    EXPECT_EQ(ended.err.find("cannot write the log"), std::string::npos) << ended.err;

    logged = rows("boards");
    ASSERT_EQ(logged.size(), 5u);
    std::multiset<std::string> seen;
    for (const json &row : logged) {
        const json &line = row["line"];
        // The columns are the line's.
        EXPECT_EQ(row["serial"], line["serial"]);
        EXPECT_EQ(row["location"], line["location"]);
        EXPECT_EQ(row["result"], line["result"]);
        // json_build_object writes the timestamp as 2026-12-10T10:00:01.
        EXPECT_EQ(std::string(row["time"]) + "Z", std::string(line["time"])) << row;
        EXPECT_TRUE(row["stamp"].is_null()) << row;  // no value stamped
        seen.insert(std::string(row["serial"]) + " " + std::string(row["result"]).substr(0, 5));
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"QV-0 done", "QV-0 done", "QV-1 Error", "QV-2 done", "QV-3 done"}));
}

// A server that cannot be reached, or a table that cannot be written, at
// the start: the run ends before any board is written, saying why.
TEST_F(Database, RefusedAtTheStartBeforeAnyBoard)
{
    pg_sql(server, "CREATE ROLE visitor LOGIN; CREATE TABLE closed (x int)");
    const struct {
        const char *label;
        std::string log;
        std::vector<std::string> run;
        std::string err;
    } cases[] = {
        {"no server, one board", "postgresql://quorvel@/postgres?host=/nonexistent&table=boards",
         {"-device=/dev/hidraw0"},
         "quorvel: cannot open the log postgresql://quorvel@/postgres?host=/nonexistent&table=boards: connection to "
         "server on socket \"/nonexistent/.s.PGSQL.5432\" failed: No such file or directory"},
        {"no server, -all", "postgresql://quorvel@/postgres?host=/nonexistent&table=boards", {"-all"},
         "Nothing was written. Check that the server runs and that the URL names it, the user and the database\n"},
        {"no such database, station", pg_url(server, "table=boards&dbname=elsewhere"), {"-station"},
         "database \"elsewhere\" does not exist"},
        {"no table named", pg_url(server), {"-all"},
         "quorvel: -log=" + pg_url(server) + ": the URL names no table (add ?table=NAME): give "
         "-log=postgresql://USER@HOST/DATABASE?table=NAME (see quorvel --help)\n"},
        {"a table the user may not write", pg_url(server, "table=closed&user=visitor"), {"-all"},
         "the user may not insert rows into closed"},
        {"a password never shown", "postgresql://quorvel:s3cret@/postgres?host=/nonexistent&table=boards", {"-all"},
         "cannot open the log postgresql://quorvel:***@/postgres?host=/nonexistent&table=boards: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        reset();
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        std::vector<std::string> arguments{"-log=" + c.log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex};
        arguments.insert(arguments.end(), c.run.begin(), c.run.end());
        ProcessResult result = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("s3cret"), std::string::npos) << result.err;
        EXPECT_EQ(finish(0).frames.size(), 0u);
    }
    // Not even the table was made.
    EXPECT_EQ(pg_sql(server, "SELECT to_regclass('boards') IS NULL").out, "t\n");
}

// The server stops in the middle of a station: the board then written
// gets its line shown and kept, as a line that cannot be written; when the
// server is back, the next board's end inserts it, exactly as shown.
TEST_F(Database, ServerStoppedMidStationLosesNoRow)
{
    const std::string url = pg_url(server, "table=boards");
    BackgroundRun station = start_quorvel({"-station", "-log=" + url, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    ASSERT_TRUE(wait_for(station.out_path, "/dev/hidraw0\tQV-0\t\tDone in "));
    pg_server_stop(server, "immediate");
    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ASSERT_TRUE(wait_for(station.out_path, "/dev/hidraw1\tQV-1\t\tDone in "));
    ASSERT_TRUE(wait_for(station.err_path, "to be tried again after the next board and at the end:\n"));
    ASSERT_EQ(pg_server_restart(server), "");
    add_device(2, 0x5E1A, 0x0001, numbered_board(2));
    ASSERT_TRUE(wait_for(station.out_path, "/dev/hidraw2\tQV-2\t\tDone in "));
    ASSERT_TRUE(wait_for(station.err_path, "that could not be written before\n")) << read_whole_file(station.err_path);
    kill(station.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(station, 20);

    // The line as shown when it could not be written.
    const std::string shown = "to be tried again after the next board and at the end:\n";
    const size_t at = ended.err.find(shown);
    ASSERT_NE(at, std::string::npos) << ended.err;
    const size_t begin = at + shown.size();
    const json kept = json::parse(ended.err.substr(begin, ended.err.find('\n', begin) - begin));
    EXPECT_EQ(kept["serial"], "QV-1");
    EXPECT_EQ(kept["result"], "done");
    EXPECT_NE(ended.err.find("3 boards done, 0 failed"), std::string::npos) << ended.err;
    EXPECT_EQ(ended.err.find("is incomplete"), std::string::npos) << ended.err;

    const std::vector<json> logged = rows("boards");
    ASSERT_EQ(logged.size(), 3u);
    std::set<std::string> serials;
    for (const json &row : logged)
        serials.insert(std::string(row["serial"]));
    EXPECT_EQ(serials, (std::set<std::string>{"QV-0", "QV-1", "QV-2"}));
    const json &late = logged[1]["serial"] == "QV-1" ? logged[1] : logged[2];
    EXPECT_EQ(late["line"], kept);
}

}  // namespace
