#include "common/PxlibForm.h"

#include <cmath>
#include <cstdio>

namespace wh::test {

std::string PxlibFormOf(const paradox::Field& field)
{
    using paradox::FieldType;
    if (field.IsBlob()) {
        (void)field.AsBytes();
        return "(blob)";
    }
    if (field.IsNull()) {
        return {};
    }
    char buffer[64];
    switch (field.Type()) {
    case FieldType::Date:
        return std::to_string(std::llround(field.AsDateTime().value) + 693594);
    case FieldType::Time:
        return std::to_string(std::llround(field.AsDateTime().value * 86400000.0));
    case FieldType::Number:
    case FieldType::Currency:
        std::snprintf(buffer, sizeof buffer, "%.17g", field.AsFloat());
        return buffer;
    case FieldType::Timestamp:
        std::snprintf(buffer, sizeof buffer, "%.17g", std::round((field.AsDateTime().value + 693594.0) * 86400000.0));
        return buffer;
    default:
        return field.AsText();
    }
}

} // namespace wh::test
