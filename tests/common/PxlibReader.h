#pragma once

// pxlib, a separate C implementation of the Paradox format, as an independent reader for tests.
#include <memory>
#include <string>
#include <vector>

#include "common/PxlibForm.h"

extern "C" {
#include <paradox.h>
}

namespace wh::test {

struct PxDocDeleter
{
    void operator()(pxdoc_t* doc) const
    {
        PX_close(doc);
        PX_delete(doc);
    }
};
using PxDoc = std::unique_ptr<pxdoc_t, PxDocDeleter>;

// A pxlib document that keeps its errors to itself (the callers check the results).
PxDoc NewPxlibDoc();

using PxlibRows = std::vector<std::vector<std::string>>;

// Every record of a .DB as pxlib reads it, each value as text in the form our engine gives:
// numbers in their shortest form, dates as day numbers, times as milliseconds, doubles with 17
// digits, logicals as True/False; memo and blob fields show "(blob)", since pxlib cannot read
// blob files here. A table pxlib cannot open or read is a test failure.
PxlibRows ReadWithPxlib(const std::string& path);

} // namespace wh::test
