#include "upload/WarehouseJSON.h"

#include "support/paradox/Table.h"
#include "support/text/DateTime.h"

#include <cstdio>
#include <string>

namespace wh {
namespace {

enum class Kind {
    Text,
    Integer,
    Number,
    Date, // left out when empty
    VersionDate, // always written, 1899-12-30 when empty
    Fixed, // always ""
};

struct Member
{
    const char* name;
    const char* field;
    Kind kind;
};

// The document's members in the order the server expects them, with their source fields.
constexpr Member kMembers[] = {
    { "claim_version", "CLVersion", Kind::Integer },
    { "claim_ver_date", "CLVerDate", Kind::VersionDate },
    { "company_name", "AdjCompany", Kind::Text },
    { "company_branch", "AdjCompanyBranch", Kind::Text },
    { "employee_lastname", nullptr, Kind::Fixed },
    { "employee_firstname", nullptr, Kind::Fixed },
    { "employee_initial", nullptr, Kind::Fixed },
    { "policynumber", "PolicyNumber", Kind::Text },
    { "claimnumber", "ClaimNumber", Kind::Text },
    { "usersclaimname", "UsersClaimName", Kind::Text },
    { "adj_lastname", "AdjLastname", Kind::Text },
    { "adj_firstname", "AdjFirstname", Kind::Text },
    { "adj_initial", "AdjInitial", Kind::Text },
    { "agency", "Agency", Kind::Text },
    { "agency_branch", "AgencyBranch", Kind::Text },
    { "carrier", "Carrier", Kind::Text },
    { "carrier_branch", "CarrierBranch", Kind::Text },
    { "adj_company", "AdjCompany", Kind::Text },
    { "adj_companybranch", "AdjCompanyBranch", Kind::Text },
    { "contractor", "Contractor", Kind::Text },
    { "contractor_branch", "ContractorBranch", Kind::Text },
    { "dreceived", "DReceived", Kind::Date },
    { "dassigned", "DAssigned", Kind::Date },
    { "dcontacted", "DContacted", Kind::Date },
    { "dinspected", "DInspected", Kind::Date },
    { "dclosed", "DClosed", Kind::Date },
    { "dpaid", "DPaid", Kind::Date },
    { "dateofloss", "DateOfLoss", Kind::Date },
    { "dinvoiced", "DInvoiced", Kind::Date },
    { "type_of_claim", "TypeOfClaim", Kind::Text },
    { "type_of_policy", "TypeOfPolicy", Kind::Text },
    { "type_of_loss", "TypeOfLoss", Kind::Text },
    { "loss_zipcode", "LZip", Kind::Text },
    { "prim_ins_lastname", "Primary Ins Last Name", Kind::Text },
    { "prim_ins_firstname", "Primary Ins First Name", Kind::Text },
    { "prim_ins_initial", "Primary Ins Initial", Kind::Text },
    { "total_hours", "Total Hours", Kind::Number },
    { "total_miles", "Total Miles", Kind::Number },
    { "total_phone_bill", "Total Phone Bill", Kind::Number },
    { "total_photos", "Total Photos", Kind::Number },
    { "total_tolls", "Total Tolls", Kind::Number },
    { "total_parking", "Total Parking", Kind::Number },
    { "total_reports", "Total Reports", Kind::Number },
    { "total_other", "Total Other", Kind::Number },
    { "building_rcv", "Building_RCV", Kind::Number },
    { "aps_rcv", "APS_RCV", Kind::Number },
    { "contents_rcv", "Contents_RCV", Kind::Number },
    { "building_claim", "Building_Claim", Kind::Number },
    { "aps_claim", "APS_Claim", Kind::Number },
    { "contents_claim", "Contents_Claim", Kind::Number },
    { "ale_claim", "ALE_Claim", Kind::Number },
    { "claim_type", "ClaimType", Kind::Integer },
    { "prim_ins_city", "Primary Ins City", Kind::Text },
    { "prim_ins_state", "Primary Ins State", Kind::Text },
    { "prim_ins_zip", "Primary Ins Zip", Kind::Text },
    { "loss_city", "LCity", Kind::Text },
    { "loss_state", "LState", Kind::Text },
    { "loss_zip", "LZip", Kind::Text },
    { "catnumber", "CATNumber", Kind::Text },
};

} // namespace

void BuildClaimJSON(paradox::Table& claimsTable, json::ObjectBuilder& document)
{
    for (const Member& member : kMembers) {
        if (member.kind == Kind::Fixed) {
            document.AddText(member.name, "");
            continue;
        }
        const paradox::Field& field = claimsTable.FieldByName(member.field);
        switch (member.kind) {
        case Kind::Text:
            document.AddText(member.name, field.AsText());
            break;
        case Kind::Integer:
            document.AddInteger(member.name, field.AsInteger());
            break;
        case Kind::Number:
            document.AddNumber(member.name, field.AsFloat());
            break;
        case Kind::Date: {
            // An empty date reads as 0 (1899-12-30), and so does that day itself: both are left out.
            const text::DateTime value = field.AsDateTime();
            if (value.value != 0.0) {
                document.AddText(member.name, text::FormatIsoDate(value));
            }
            break;
        }
        case Kind::VersionDate:
            document.AddText(member.name, text::FormatIsoDate(field.AsDateTime()));
            break;
        case Kind::Fixed:
            break;
        }
    }
}

} // namespace wh
