#include <gtest/gtest.h>

#include "common/TempTree.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/text/DateTime.h"
#include "upload/WarehouseJSON.h"

#include <string>
#include <vector>

using namespace wh;
using paradox::FieldDef;
using paradox::FieldType;
using paradox::Table;

namespace {

// The claims table's fields that feed the document, with the product's types; some names in
// another case than the document's source list, as tables made by older versions have them.
std::vector<FieldDef> ClaimsFields()
{
    std::vector<FieldDef> fields = {
        { "ClaimID", FieldType::Long },
        { "CLVersion", FieldType::Long },
        { "CLVerDate", FieldType::Timestamp },
        { "ClaimType", FieldType::Short },
    };
    for (const char* name : { "AdjCompany",
                              "AdjCompanyBranch",
                              "PolicyNumber",
                              "claimnumber",
                              "UsersClaimName",
                              "AdjLastname",
                              "AdjFirstname",
                              "AdjInitial",
                              "Agency",
                              "AgencyBranch",
                              "Carrier",
                              "CarrierBranch",
                              "Contractor",
                              "ContractorBranch",
                              "TypeOfClaim",
                              "TypeOfPolicy",
                              "TypeOfLoss",
                              "LZip",
                              "Primary Ins Last Name",
                              "Primary Ins First Name",
                              "Primary Ins Initial",
                              "Primary Ins City",
                              "Primary Ins State",
                              "Primary Ins Zip",
                              "LCity",
                              "LState",
                              "CATNumber" }) {
        fields.push_back({ name, FieldType::Alpha, 40 });
    }
    for (const char* name :
         { "DReceived", "DAssigned", "DContacted", "DInspected", "DClosed", "DPaid", "DateOfLoss", "DInvoiced" }) {
        fields.push_back({ name, FieldType::Date });
    }
    for (const char* name : { "TOTAL HOURS", "Total Miles", "Total Phone Bill", "Total Photos", "Total Tolls",
                              "Total Parking", "Total Reports", "Total Other" }) {
        fields.push_back({ name, FieldType::Number });
    }
    for (const char* name :
         { "Building_RCV", "APS_RCV", "Contents_RCV", "Building_Claim", "APS_Claim", "Contents_Claim", "ALE_Claim" }) {
        fields.push_back({ name, FieldType::Currency });
    }
    return fields;
}

text::DateTime Day(int year, int month, int day, int hour = 0, int minute = 0)
{
    return text::EncodeDateTime({ year, month, day, hour, minute });
}

} // namespace

TEST(BuildClaimJSON, WritesTheRecordInTheServersExactForm)
{
    test::TempTree tree;
    Table::Create(tree.Root(), "Claims.DB", ClaimsFields(), 1);
    Table claims(tree.Root(), "Claims.DB");
    claims.Open();
    claims.Append();
    claims.FieldByName("ClaimID").SetInteger(7);
    claims.FieldByName("CLVersion").SetInteger(3);
    claims.FieldByName("CLVerDate").SetDateTime(Day(2024, 3, 1, 14, 30));
    claims.FieldByName("ClaimType").SetInteger(2);
    claims.FieldByName("AdjCompany").SetText("Acme Adjusting");
    claims.FieldByName("AdjCompanyBranch").SetText("North");
    claims.FieldByName("PolicyNumber").SetText("HO-\"9\"");
    claims.FieldByName("ClaimNumber").SetText("12/345");
    claims.FieldByName("UsersClaimName").SetText("Roof\tleak\\attic");
    claims.FieldByName("AdjLastname").SetText("Caf\xE9");
    claims.FieldByName("LZip").SetText("30301");
    claims.FieldByName("LCity").SetText("Atlanta");
    claims.FieldByName("Primary Ins Last Name").SetText("O'Neil");
    claims.FieldByName("DAssigned").SetDateTime(Day(2024, 1, 31));
    claims.FieldByName("DClosed").SetDateTime(Day(2024, 2, 29));
    claims.FieldByName("DateOfLoss").SetDateTime(Day(1899, 12, 30)); // the zero date itself
    claims.FieldByName("DInvoiced").SetDateTime(Day(1999, 12, 31));
    claims.FieldByName("Total Hours").SetFloat(2.5);
    claims.FieldByName("Total Phone Bill").SetFloat(12.5);
    claims.FieldByName("Total Photos").SetFloat(3);
    claims.FieldByName("Total Tolls").SetFloat(1e-6);
    claims.FieldByName("Building_RCV").SetFloat(1.5e20);
    claims.FieldByName("ALE_Claim").SetFloat(-1234.75);
    claims.Post();
    claims.Append();
    claims.FieldByName("ClaimID").SetInteger(8);
    claims.Post();
    claims.FindKey(7);

    json::ObjectBuilder document;
    BuildClaimJSON(claims, document);

    EXPECT_EQ(document.Text(),
              "{\"claim_version\":3,\"claim_ver_date\":\"2024-03-01\",\"company_name\":\"Acme Adjusting\","
              "\"company_branch\":\"North\",\"employee_lastname\":\"\",\"employee_firstname\":\"\","
              "\"employee_initial\":\"\",\"policynumber\":\"HO-\\\"9\\\"\",\"claimnumber\":\"12\\/345\","
              "\"usersclaimname\":\"Roof\\tleak\\\\attic\",\"adj_lastname\":\"Caf\xC3\xA9\",\"adj_firstname\":\"\","
              "\"adj_initial\":\"\",\"agency\":\"\",\"agency_branch\":\"\",\"carrier\":\"\",\"carrier_branch\":\"\","
              "\"adj_company\":\"Acme Adjusting\",\"adj_companybranch\":\"North\",\"contractor\":\"\","
              "\"contractor_branch\":\"\",\"dassigned\":\"2024-01-31\",\"dclosed\":\"2024-02-29\","
              "\"dinvoiced\":\"1999-12-31\",\"type_of_claim\":\"\",\"type_of_policy\":\"\",\"type_of_loss\":\"\","
              "\"loss_zipcode\":\"30301\",\"prim_ins_lastname\":\"O'Neil\",\"prim_ins_firstname\":\"\","
              "\"prim_ins_initial\":\"\",\"total_hours\":2.5,\"total_miles\":0,\"total_phone_bill\":12.5,"
              "\"total_photos\":3,\"total_tolls\":1E-6,\"total_parking\":0,\"total_reports\":0,\"total_other\":0,"
              "\"building_rcv\":1.5E20,\"aps_rcv\":0,\"contents_rcv\":0,\"building_claim\":0,\"aps_claim\":0,"
              "\"contents_claim\":0,\"ale_claim\":-1234.75,\"claim_type\":2,\"prim_ins_city\":\"\","
              "\"prim_ins_state\":\"\",\"prim_ins_zip\":\"\",\"loss_city\":\"Atlanta\",\"loss_state\":\"\","
              "\"loss_zip\":\"30301\",\"catnumber\":\"\"}");
    EXPECT_EQ(claims.FieldByName("ClaimID").AsInteger(), 7); // still on the same record
    EXPECT_FALSE(claims.IsEditing());
}

TEST(BuildClaimJSON, AnEmptyRecordKeepsTheVersionDateAndLeavesOtherDatesOut)
{
    test::TempTree tree;
    Table::Create(tree.Root(), "Claims.DB", ClaimsFields(), 1);
    Table claims(tree.Root(), "Claims.DB");
    claims.Open();
    claims.Append();
    claims.FieldByName("ClaimID").SetInteger(1);
    claims.Post();
    claims.First();

    json::ObjectBuilder document;
    BuildClaimJSON(claims, document);
    EXPECT_EQ(document.Size(), 51u); // 59 members less the eight dates
    const std::string text = document.Text();
    EXPECT_TRUE(text.starts_with(R"({"claim_version":0,"claim_ver_date":"1899-12-30","company_name":"",)")) << text;
    EXPECT_NE(text.find(R"("contractor_branch":"","type_of_claim":"")"), std::string::npos) << text;
}

TEST(BuildClaimJSON, AMissingFieldIsATableError)
{
    test::TempTree tree;
    std::vector<FieldDef> fields = ClaimsFields();
    std::erase_if(fields, [](const FieldDef& field) { return field.name == "CATNumber"; });
    Table::Create(tree.Root(), "Claims.DB", fields, 1);
    Table claims(tree.Root(), "Claims.DB");
    claims.Open();
    claims.Append();
    claims.FieldByName("ClaimID").SetInteger(1);
    claims.Post();
    claims.First();

    json::ObjectBuilder document;
    try {
        BuildClaimJSON(claims, document);
        ADD_FAILURE() << "no error for a missing field";
    } catch (const TableError& error) {
        EXPECT_NE(std::string(error.what()).find("CATNumber"), std::string::npos) << error.what();
    }
}
