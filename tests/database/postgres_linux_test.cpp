// libpq against a real PostgreSQL server that the test starts: values that
// are never given twice (also to processes at once), the log's rows with
// their columns, a connection that comes back, and each failure's kind.
#include "database/postgres.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Postgres : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        if (pg_server_binaries().empty())
            return;
        problem_ = pg_server_start(server_);
    }
    static void TearDownTestSuite()
    {
        pg_server_remove(server_);
    }
    void SetUp() override
    {
        if (server_.bin.empty())
            GTEST_SKIP() << "SKIPPED: no PostgreSQL server is installed: install postgresql (the README's Quick "
                            "start installs it)";
        ASSERT_EQ(problem_, "");
        ASSERT_TRUE(server_.running);
    }
    void TearDown() override
    {
        database_close(DATABASE_FOR_LOG);
        database_close(DATABASE_FOR_STAMP);
    }

    static DatabaseError connect(DatabaseUse use, const std::string &parameters, const char *needs)
    {
        DatabaseUrl url;
        DatabaseError error = database_url_parse(pg_url(server_, parameters), needs, url);
        return error.kind ? error : database_connect(use, url);
    }

    static std::string sql(const std::string &statement)
    {
        ProcessResult result = pg_sql(server_, statement);
        EXPECT_EQ(result.status, 0) << statement << "\n" << result.err;
        return result.out;
    }

    // Runs `claims` in `processes` processes at once, each on its own
    // connection; returns every value written back, one per line.
    static std::vector<std::string> in_processes(int processes, int claims, const std::string &parameters,
                                                 const char *needs)
    {
        std::vector<std::pair<pid_t, int>> children;
        for (int p = 0; p < processes; ++p) {
            int pipe_ends[2];
            if (pipe(pipe_ends) != 0)
                return {};
            const pid_t child = fork();
            if (child == 0) {
                close(pipe_ends[0]);
                std::string out;
                if (connect(DATABASE_FOR_STAMP, parameters, needs).kind == DATABASE_OK)
                    for (int i = 0; i < claims; ++i) {
                        std::string value;
                        int64_t number = 0;
                        DatabaseError error = std::string(needs) == "sequence" ? database_sequence_next(number)
                                                                                : database_list_claim(value);
                        out += error.kind ? "error " + std::to_string(error.kind)
                                          : needs[0] == 's' ? std::to_string(number) : value;
                        out += '\n';
                    }
                (void)!write(pipe_ends[1], out.data(), out.size());
                _exit(0);
            }
            close(pipe_ends[1]);
            children.emplace_back(child, pipe_ends[0]);
        }
        std::vector<std::string> values;
        for (auto [child, from] : children) {
            std::string text;
            char buffer[4096];
            for (ssize_t got; (got = read(from, buffer, sizeof buffer)) > 0;)
                text.append(buffer, size_t(got));
            close(from);
            waitpid(child, nullptr, 0);
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);)
                values.push_back(line);
        }
        return values;
    }

    static PgServer server_;
    static std::string problem_;
};
PgServer Postgres::server_;
std::string Postgres::problem_;

// nextval under four processes at once: every value once, none lost.
TEST_F(Postgres, SequenceValuesAreNeverGivenTwice)
{
    // Made at the first start; a second start keeps it as it is.
    ASSERT_EQ(connect(DATABASE_FOR_STAMP, "sequence=serials", "sequence").kind, DATABASE_OK);
    int64_t peeked = -1, first = 0;
    int found = 1;
    ASSERT_EQ(database_sequence_peek(peeked, found).kind, DATABASE_OK);
    EXPECT_EQ(found, 0);
    ASSERT_EQ(database_sequence_prepare(1000, 3).kind, DATABASE_OK);
    ASSERT_EQ(database_sequence_prepare(5, 1).kind, DATABASE_OK);
    database_close(DATABASE_FOR_STAMP);
    // A user who may only use it: peeks (the dry run) and takes.
    sql("CREATE ROLE station LOGIN; GRANT USAGE ON SEQUENCE serials TO station");
    ASSERT_EQ(connect(DATABASE_FOR_STAMP, "sequence=serials&user=station", "sequence").kind, DATABASE_OK);
    EXPECT_EQ(database_sequence_check().kind, DATABASE_OK);
    for (int64_t expected : {1000, 1003}) {
        ASSERT_EQ(database_sequence_peek(peeked, found).kind, DATABASE_OK);
        EXPECT_EQ(found, 1);
        EXPECT_EQ(peeked, expected);
        ASSERT_EQ(database_sequence_next(first).kind, DATABASE_OK);
        EXPECT_EQ(first, expected);
    }
    database_close(DATABASE_FOR_STAMP);
    sql("ALTER SEQUENCE serials INCREMENT 1 RESTART 1000");

    std::vector<std::string> values = in_processes(4, 25, "sequence=serials", "sequence");
    ASSERT_EQ(values.size(), 100u);
    std::set<std::string> distinct(values.begin(), values.end());
    EXPECT_EQ(distinct.size(), 100u);
    for (int64_t v = 1000; v < 1100; ++v)
        EXPECT_EQ(distinct.count(std::to_string(v)), 1u) << v;
}

// The list table: filled once from the lines, claimed in order, each line
// once under three processes at once, and then empty.
TEST_F(Postgres, ListLinesAreClaimedOnceEach)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 30; ++i)
        lines.push_back("SN-" + std::to_string(100 + i) + (i == 7 ? " \"quoted\" \\ back" : ""));
    ASSERT_EQ(connect(DATABASE_FOR_STAMP, "table=serial_list", "table").kind, DATABASE_OK);
    int64_t left = 0;
    ASSERT_EQ(database_list_prepare(lines, left).kind, DATABASE_OK);
    EXPECT_EQ(left, 30);
    // A second station's start: the table, once filled, is the list.
    ASSERT_EQ(database_list_prepare({"other"}, left).kind, DATABASE_OK);
    EXPECT_EQ(left, 30);
    std::string value;
    ASSERT_EQ(database_list_claim(value).kind, DATABASE_OK);
    EXPECT_EQ(value, "SN-100");
    database_close(DATABASE_FOR_STAMP);

    std::vector<std::string> values = in_processes(3, 11, "table=serial_list", "table");
    ASSERT_EQ(values.size(), 33u);
    std::multiset<std::string> taken(values.begin(), values.end());
    EXPECT_EQ(taken.count("error " + std::to_string(DATABASE_LIST_EMPTY)), 4u);
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(taken.count(lines[i]), 1u) << lines[i];
    EXPECT_EQ(sql("SELECT count(*) FROM serial_list WHERE taken IS NULL"), "0\n");
}

// The log's table made when missing; each row its line as jsonb, its
// columns taken from the line; a line without a stamp leaves it null.
TEST_F(Postgres, LogRowsHoldTheLineAndItsColumns)
{
    ASSERT_EQ(connect(DATABASE_FOR_LOG, "table=Board%20Log", "table").kind, DATABASE_OK);
    ASSERT_EQ(database_log_prepare().kind, DATABASE_OK);
    ASSERT_EQ(database_log_prepare().kind, DATABASE_OK);  // there already: kept
    const char *lines[] = {
        R"({"time":"2026-12-10T10:00:01Z","serial":"QV-1","location":"1-2","result":"done","stamp":"1000"})" "\n",
        R"({"time":"2026-12-10T10:00:02Z","serial":"","location":"","result":"Error writing to device"})" "\n",
    };
    for (const char *line : lines)
        ASSERT_EQ(database_log_insert(line).kind, DATABASE_OK);
    EXPECT_EQ(sql("SELECT \"time\" AT TIME ZONE 'UTC', serial, location, result, coalesce(stamp, 'null') FROM "
                  "\"Board Log\" ORDER BY id"),
              "2026-12-10 10:00:01|QV-1|1-2|done|1000\n2026-12-10 10:00:02|||Error writing to device|null\n");
    EXPECT_EQ(sql("SELECT count(*) FROM \"Board Log\" WHERE line = '" + std::string(lines[0]) + "'::jsonb"), "1\n");
    // A line that is not JSON is refused, not stored half.
    EXPECT_EQ(database_log_insert("{\"time\":").kind, DATABASE_REFUSED);
}

// The server stopped (shut down, or killed as in a crash): an insert fails
// as unreachable; started again, the next insert goes in at once, on a new
// connection (libpq finds a connection gone only when it uses it).
TEST_F(Postgres, ConnectionComesBackAfterTheServer)
{
    ASSERT_EQ(connect(DATABASE_FOR_LOG, "table=restarts", "table").kind, DATABASE_OK);
    ASSERT_EQ(database_log_prepare().kind, DATABASE_OK);
    const std::string line = R"({"time":"2026-12-10T10:00:01Z","result":"done"})";
    ASSERT_EQ(database_log_insert(line).kind, DATABASE_OK);
    int rows = 1;
    for (const char *mode : {"fast", "immediate"}) {
        SCOPED_TRACE(mode);
        pg_server_stop(server_, mode);
        const DatabaseError lost = database_log_insert(line);
        EXPECT_EQ(lost.kind, DATABASE_UNREACHABLE) << lost.message;
        ASSERT_EQ(pg_server_restart(server_), "");
        const DatabaseError back = database_log_insert(line);
        EXPECT_EQ(back.kind, DATABASE_OK) << back.message;
        EXPECT_EQ(sql("SELECT count(*) FROM restarts"), std::to_string(++rows) + "\n");
        // The server gone while the connection looked fine: the insert
        // itself finds out, connects again and goes in.
        pg_server_stop(server_, mode);
        ASSERT_EQ(pg_server_restart(server_), "");
        const DatabaseError again = database_log_insert(line);
        EXPECT_EQ(again.kind, DATABASE_OK) << again.message;
        EXPECT_EQ(sql("SELECT count(*) FROM restarts"), std::to_string(++rows) + "\n");
    }
}

// Each failure's kind, which callers decide on.
TEST_F(Postgres, FailuresHaveTheirKind)
{
    sql("CREATE SEQUENCE spare; CREATE ROLE visitor LOGIN; CREATE TABLE locked (x int)");
    const struct {
        const char *label;
        std::string parameters;  // "" : a socket folder with no server
        const char *needs;
        DatabaseErrorKind connect_kind;
        DatabaseErrorKind check_kind;
        const char *message_part;
    } cases[] = {
        {"no server at the socket", "", "sequence", DATABASE_UNREACHABLE, DATABASE_OK, "No such file"},
        {"no such database", "sequence=s&dbname=nowhere", "sequence", DATABASE_UNREACHABLE, DATABASE_OK, "nowhere"},
        {"no such sequence", "sequence=missing", "sequence", DATABASE_OK, DATABASE_REFUSED, "missing"},
        {"a sequence the user may not use", "sequence=spare&user=visitor", "sequence", DATABASE_OK, DATABASE_REFUSED,
         "may not take values"},
        {"a log table the user may not write", "table=locked&user=visitor", "table", DATABASE_OK, DATABASE_REFUSED,
         "may not insert rows"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const DatabaseUse use = c.needs[0] == 't' ? DATABASE_FOR_LOG : DATABASE_FOR_STAMP;
        DatabaseError error;
        if (c.parameters.empty()) {
            DatabaseUrl url;
            ASSERT_EQ(database_url_parse("postgresql://quorvel@/postgres?host=/nonexistent&sequence=s", c.needs, url)
                          .kind,
                      DATABASE_OK);
            error = database_connect(use, url);
        } else {
            error = connect(use, c.parameters, c.needs);
        }
        EXPECT_EQ(error.kind, c.connect_kind) << error.message;
        if (!error.kind) {
            error = use == DATABASE_FOR_LOG ? database_log_prepare() : database_sequence_check();
            EXPECT_EQ(error.kind, c.check_kind) << error.message;
        }
        EXPECT_NE(error.message.find(c.message_part), std::string::npos) << error.message;
        database_close(use);
    }
}

}  // namespace
