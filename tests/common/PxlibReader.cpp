#include "common/PxlibReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace wh::test {
namespace {

void IgnoreErrors(pxdoc_t*, int, const char*, void*) { }

} // namespace

PxDoc NewPxlibDoc()
{
    return PxDoc(PX_new3(IgnoreErrors, nullptr, nullptr, nullptr, nullptr));
}

PxlibRows ReadWithPxlib(const std::string& path)
{
    PxDoc doc = NewPxlibDoc();
    if (PX_open_file(doc.get(), path.c_str()) < 0) {
        ADD_FAILURE() << "pxlib cannot open " << path;
        return {};
    }
    const int fieldCount = PX_get_num_fields(doc.get());
    const int recordCount = PX_get_num_records(doc.get());
    std::vector<char> record(static_cast<std::size_t>(PX_get_recordsize(doc.get())));
    PxlibRows rows;
    for (int r = 0; r < recordCount; ++r) {
        if (PX_get_record(doc.get(), r, record.data()) == nullptr) {
            ADD_FAILURE() << "pxlib cannot read record " << r << " of " << path;
            break;
        }
        std::vector<std::string> row;
        int offset = 0;
        for (int f = 0; f < fieldCount; ++f) {
            pxfield_t* field = PX_get_field(doc.get(), f);
            char* data = record.data() + offset;
            offset += field->px_flen;
            std::string cell;
            switch (field->px_ftype) {
            case pxfAlpha: {
                char* value = nullptr;
                if (PX_get_data_alpha(doc.get(), data, field->px_flen, &value) > 0 && value != nullptr) {
                    cell = value;
                    std::free(value);
                }
                break;
            }
            case pxfShort: {
                short value = 0;
                if (PX_get_data_short(doc.get(), data, field->px_flen, &value) > 0) {
                    cell = std::to_string(value);
                }
                break;
            }
            case pxfLong:
            case pxfAutoInc:
            case pxfDate:
            case pxfTime: {
                long value = 0;
                // Dates as day numbers, times as milliseconds. pxlib reads a blank long as its
                // smallest value, which no field can hold.
                if (PX_get_data_long(doc.get(), data, field->px_flen, &value) > 0 && value != -2147483648L) {
                    cell = std::to_string(value);
                }
                break;
            }
            case pxfNumber:
            case pxfCurrency:
            case pxfTimestamp: {
                double value = 0;
                if (PX_get_data_double(doc.get(), data, field->px_flen, &value) > 0) {
                    char buffer[64];
                    std::snprintf(buffer, sizeof buffer, "%.17g", value);
                    cell = buffer;
                }
                break;
            }
            case pxfLogical: {
                char value = 0;
                if (PX_get_data_byte(doc.get(), data, field->px_flen, &value) > 0) {
                    cell = value ? "True" : "False";
                }
                break;
            }
            case pxfMemoBLOb:
            case pxfBLOb:
            case pxfFmtMemoBLOb:
            case pxfOLE:
            case pxfGraphic:
                cell = "(blob)"; // pxlib cannot read blob files here: only the marker
                break;
            default:
                cell = "?";
                break;
            }
            row.push_back(cell);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace wh::test
