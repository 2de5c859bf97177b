#pragma once

// How the tests compare our engine's values with pxlib's (see PxlibReader.h), without pxlib.
#include <string>

#include "support/paradox/Table.h"

namespace wh::test {

// A value of our engine in the form pxlib's reader gives it: empty for an empty field, day numbers
// for dates, milliseconds for times and time stamps, 17 digits for doubles, "(blob)" for memo and
// blob fields (whose bytes are read all the same, so a broken memo file still fails the read).
std::string PxlibFormOf(const paradox::Field& field);

} // namespace wh::test
