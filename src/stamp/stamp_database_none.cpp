// Built without PostgreSQL (the Windows build, or a build that did not find
// libpq): a -stamp-state= URL is refused before any board is touched.
#include "stamp/stamp_database.h"

#include "output/text.h"

namespace {

Failure without_postgresql(const StampSettings &settings)
{
    return failure(FAILURE_STAMP,
                   "quorvel: cannot use the stamp state %s: quorvel was built without PostgreSQL\nNothing was "
                   "written. Give -stamp-state= a file, or use a quorvel built with PostgreSQL (libpq)\n",
                   printable(settings.state ? settings.state : "").c_str());
}

}  // namespace

Failure stamp_database_check(const StampSettings &settings)
{
    return without_postgresql(settings);
}

Failure stamp_database_take(const StampSettings &settings, StampValue *)
{
    return without_postgresql(settings);
}

Failure stamp_database_peek(const StampSettings &settings, StampValue *)
{
    return without_postgresql(settings);
}
