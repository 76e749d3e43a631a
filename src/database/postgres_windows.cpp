// PostgreSQL on Windows: libpq cannot be had for this build, so every URL
// is refused, before any board is written, with what to do instead.
#include "database/postgres.h"

namespace {

DatabaseError not_built()
{
    return DatabaseError{DATABASE_NOT_BUILT, "quorvel for Windows is built without PostgreSQL (libpq)"};
}

}  // namespace

DatabaseError database_connect(DatabaseUse, const DatabaseUrl &)
{
    return not_built();
}

void database_close(DatabaseUse)
{
}

DatabaseError database_log_prepare()
{
    return not_built();
}

DatabaseError database_log_insert(std::string_view)
{
    return not_built();
}

DatabaseError database_sequence_prepare(int64_t, int64_t)
{
    return not_built();
}

DatabaseError database_sequence_peek(int64_t &, int &)
{
    return not_built();
}

DatabaseError database_list_peek(std::string &, int &)
{
    return not_built();
}

DatabaseError database_sequence_check()
{
    return not_built();
}

DatabaseError database_sequence_next(int64_t &)
{
    return not_built();
}

DatabaseError database_list_prepare(const std::vector<std::string> &, int64_t &)
{
    return not_built();
}

DatabaseError database_list_claim(std::string &)
{
    return not_built();
}
