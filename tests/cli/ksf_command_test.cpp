// The data-file commands end to end, on real files in a fresh directory.
//
// One test runs two loads as two real processes, so it forks; that is the
// only reason this file reaches for <unistd.h> and <sys/wait.h>.
#include "cli/ksf_command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/json_document.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/tree.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

using json::Json;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

// Every field type, an array, a group with an array of groups, an OVER
// field, a string declared by picture, text and binary memos and a BLOB, an
// INDEX and external names; a second table kept in OEM text; characters
// from the whole Windows-1252 set, the undefined bytes included.
const char* const kAllTypes = R"({"tables": [
 {"name": "UNNAMED", "oem": false,
  "fields": [
   {"name": "ALL:ID", "type": "LONG"},
   {"name": "ALL:B", "type": "BYTE"}, {"name": "ALL:S", "type": "SHORT"}, {"name": "ALL:US", "type": "USHORT"},
   {"name": "ALL:D", "type": "DATE"}, {"name": "ALL:T", "type": "TIME"}, {"name": "ALL:UL", "type": "ULONG"},
   {"name": "ALL:SR", "type": "SREAL"}, {"name": "ALL:R", "type": "REAL"},
   {"name": "ALL:DEC", "type": "DECIMAL", "digits": 9, "places": 3},
   {"name": "ALL:DEC2", "type": "DECIMAL", "digits": 4, "places": 0},
   {"name": "ALL:STR", "type": "STRING", "length": 12},
   {"name": "ALL:PIC", "type": "STRING", "picture": "@s6", "size": 6},
   {"name": "ALL:CS", "type": "CSTRING", "length": 8}, {"name": "ALL:PS", "type": "PSTRING", "length": 8},
   {"name": "ALL:LIST", "type": "SHORT", "dim": [3]},
   {"name": "ALL:LISTBYTES", "type": "STRING", "length": 6, "over": "ALL:LIST"},
   {"name": "ALL:ADDR", "type": "GROUP", "fields": [
     {"name": "ALL:STREET", "type": "STRING", "length": 10},
     {"name": "ALL:PHONES", "type": "GROUP", "dim": [2], "fields": [
       {"name": "ALL:KIND", "type": "BYTE"}, {"name": "ALL:NUMBER", "type": "CSTRING", "length": 6}]}]}],
  "keys": [
   {"name": "ALL:IDKEY", "external": "IDX_ID", "primary": true, "dup": false, "opt": false, "nocase": false,
    "components": [{"field": "ALL:ID", "descending": false}]},
   {"name": "ALL:STRKEY", "primary": false, "dup": true, "opt": true, "nocase": true,
    "components": [{"field": "ALL:STR", "descending": true}, {"field": "ALL:DEC", "descending": false}]},
   {"name": "ALL:STREETINDEX", "primary": false, "dup": true, "opt": false, "nocase": false, "index": true,
    "components": [{"field": "ALL:STREET", "descending": false}]}],
  "memos": [
   {"name": "ALL:NOTES", "type": "MEMO", "size": 600, "binary": false},
   {"name": "ALL:RAW", "external": "RAWDATA", "type": "MEMO", "size": 40, "binary": true},
   {"name": "ALL:BLOB", "type": "BLOB", "binary": true}],
  "records": [
   {"ALL:ID": 1, "ALL:B": 255, "ALL:S": -32768, "ALL:US": 65535, "ALL:D": 80000, "ALL:T": 8640000,
    "ALL:UL": 4294967295, "ALL:SR": 3.1415927, "ALL:R": -2.5e-300, "ALL:DEC": -123456.789, "ALL:DEC2": 9999,
    "ALL:STR": "Ärger € \u0081\u009d ", "ALL:PIC": "pic", "ALL:CS": "c-str", "ALL:PS": "p\u0000s",
    "ALL:LIST": [1, -2, 3],
    "ALL:ADDR": {"ALL:STREET": "Main", "ALL:PHONES": [{"ALL:KIND": 1, "ALL:NUMBER": "12345"}, {"ALL:KIND": 2}]},
    "ALL:NOTES": "line one\nline two\twith tab, and a long tail ................................................................................................................................................................................................................................................................ end",
    "ALL:RAW": "AAECAwQFBgcICQ==", "ALL:BLOB": "3q2+7w=="},
   {"ALL:ID": 2, "ALL:DEC": 0.5, "ALL:STR": "b"},
   {"ALL:ID": -7, "ALL:R": {"bytes": "AAAAAAAA8H8="}, "ALL:STR": "   "}]},
 {"name": "OEMTABLE", "oem": true,
  "fields": [{"name": "OEM:NAME", "type": "STRING", "length": 10}],
  "keys": [{"name": "OEM:NAMEKEY", "primary": false, "dup": false, "opt": false, "nocase": true,
            "components": [{"field": "OEM:NAME", "descending": false}]}],
  "memos": [{"name": "OEM:TEXT", "type": "MEMO", "size": 30, "binary": false}],
  "records": [{"OEM:NAME": "Straße", "OEM:TEXT": "ÄÉÖüñ"}, {"OEM:NAME": "Zoë"}]}
]})";

class KsfCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ::setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    ::setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
  }

  std::string path(const std::string& name) const { return dir_.file(name); }

  Outcome ksf(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Outcome r;
    r.status = run_ksf(args, in, out, err, platform::Env::posix());
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  std::string dump_json(const std::string& file, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"dump", file, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    Outcome r = ksf(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  static Json parsed(const std::string& text) {
    json::ParseError e;
    auto v = json::parse(text, &e);
    EXPECT_TRUE(v.has_value()) << e.describe();
    return v.value_or(Json());
  }
  static const Json& table(const Json& doc, std::size_t i) { return doc.at("tables").at(i); }
  static const Json& record(const Json& doc, std::size_t t, std::size_t r) { return table(doc, t).at("records").at(r); }
  // A member's text: a string's own, a number's as written.
  static std::string text(const Json& v, const char* name) {
    const Json* m = json::member(v, name);
    if (m == nullptr) return "(absent)";
    return m->is_string() ? m->get<std::string>() : json::number_string(*m);
  }

  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void write(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }

  platform_test::TempDir dir_;
};

TEST_F(KsfCommandTest, DumpLoadDumpGivesTheSameJsonForEveryType) {
  Outcome load = ksf({"load", path("first")}, kAllTypes);
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_EQ(load.out, "5 records added to " + path("first.KSF") + "\n");
  const std::string once = dump_json(path("first"));
  ASSERT_EQ(ksf({"load", path("second.ksf")}, once).status, 0);
  EXPECT_EQ(dump_json(path("second.ksf")), once);

  const Json doc = parsed(once);
  ASSERT_EQ(doc.at("tables").size(), 2u);
  EXPECT_EQ(text(table(doc, 0), "name"), "OEMTABLE");  // tables come in name order
  EXPECT_TRUE(table(doc, 0).at("oem").get<bool>());
  EXPECT_EQ(text(record(doc, 0, 0), "OEM:NAME"), "Straße    ");
  EXPECT_EQ(text(record(doc, 0, 0), "OEM:TEXT"), "ÄÉÖüñ");  // all of them in code page 437
  const Json& first = record(doc, 1, 0);
  EXPECT_EQ(text(first, "ALL:S"), "-32768");
  EXPECT_EQ(text(first, "ALL:UL"), "4294967295");
  EXPECT_EQ(text(first, "ALL:SR"), "3.1415927");
  EXPECT_EQ(text(first, "ALL:R"), "-2.5e-300");
  EXPECT_EQ(text(first, "ALL:DEC"), "-123456.789");
  EXPECT_EQ(text(first, "ALL:STR"), "Ärger € \u0081\u009d  ");  // blanks kept, undefined bytes as C1
  EXPECT_EQ(text(first, "ALL:CS"), "c-str");
  EXPECT_EQ(text(first, "ALL:PS"), std::string("p\0s", 3));
  EXPECT_EQ(json::write(first.at("ALL:LIST")), "[1,-2,3]");
  EXPECT_EQ(json::member(first, "ALL:LISTBYTES"), nullptr);  // its bytes are ALL:LIST's
  EXPECT_EQ(json::write(first.at("ALL:ADDR")),
            R"({"ALL:STREET":"Main      ","ALL:PHONES":[{"ALL:KIND":1,"ALL:NUMBER":"12345"},{"ALL:KIND":2,"ALL:NUMBER":""}]})");
  EXPECT_EQ(text(first, "ALL:RAW"), "AAECAwQFBgcICQ==");
  EXPECT_EQ(text(first, "ALL:BLOB"), "3q2+7w==");
  EXPECT_EQ(first.at("ALL:NOTES"), record(parsed(kAllTypes), 0, 0).at("ALL:NOTES"));
  // A field left out is blank or zero; a REAL that is no number stays bytes.
  EXPECT_EQ(text(record(doc, 1, 1), "ALL:DEC"), "0.500");
  EXPECT_EQ(text(record(doc, 1, 1), "ALL:B"), "0");
  EXPECT_EQ(json::write(record(doc, 1, 2).at("ALL:R")), R"({"bytes":"AAAAAAAA8H8="})");
  const Json& keys = table(doc, 1).at("keys");
  EXPECT_EQ(text(keys[0], "external"), "IDX_ID");
  EXPECT_TRUE(keys[2].at("index").get<bool>());

  Outcome check = ksf({"check", path("second.ksf")});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("no faults"), std::string::npos);
}

TEST_F(KsfCommandTest, ValuesAtTheEdgesOfTheirFieldsRoundTrip) {
  const std::string json = R"({"tables": [{"name": "EDGE",
    "fields": [{"name": "E:D4", "type": "DECIMAL", "digits": 4, "places": 2},
               {"name": "E:D1", "type": "DECIMAL", "digits": 1, "places": 1},
               {"name": "E:CS", "type": "CSTRING", "length": 4}, {"name": "E:PS", "type": "PSTRING", "length": 4},
               {"name": "E:SR", "type": "SREAL"}, {"name": "E:R", "type": "REAL"}, {"name": "E:US", "type": "USHORT"}],
    "records": [{"E:D4": 99.99, "E:D1": -0.9, "E:CS": "full", "E:PS": "abc", "E:SR": 1e-45, "E:R": 1.7976931348623157e308},
                {"E:D4": -0.00, "E:D1": 0, "E:CS": "", "E:PS": "", "E:SR": -3.4028235e38, "E:R": -0, "E:US": 65535},
                {"E:D4": 5, "E:D1": 0.1, "E:CS": "a", "E:PS": "z", "E:SR": 0.3, "E:R": 0.3}]}]})";
  ASSERT_EQ(ksf({"load", path("edge")}, json).status, 0);
  const std::string once = dump_json(path("edge"));
  const Json doc = parsed(once);
  auto value = [&](std::size_t r, const char* field) { return text(record(doc, 0, r), field); };
  EXPECT_EQ(value(0, "E:D4"), "99.99");
  EXPECT_EQ(value(0, "E:D1"), "-0.9");
  EXPECT_EQ(value(0, "E:CS"), "full");  // fills the field: no terminator
  EXPECT_EQ(value(0, "E:SR"), "1e-45");
  EXPECT_EQ(value(0, "E:R"), "1.7976931348623157e+308");
  EXPECT_EQ(value(1, "E:D4"), "-0.00");
  EXPECT_EQ(value(1, "E:SR"), "-3.4028235e+38");
  EXPECT_EQ(value(1, "E:R"), "-0");
  EXPECT_EQ(value(2, "E:D4"), "5.00");
  EXPECT_EQ(value(2, "E:SR"), "0.3");
  ASSERT_EQ(ksf({"load", path("edge2")}, once).status, 0);
  EXPECT_EQ(dump_json(path("edge2")), once);
  // Just past each edge the load refuses.
  for (const char* bad : {R"("E:D4": 100)", R"("E:D4": 1.234)", R"("E:CS": "fives")", R"("E:PS": "four")",
                          R"("E:SR": 1e39)", R"("E:US": -1)", R"("E:D1": 1e0)"}) {
    const std::string one = std::string(R"({"tables": [{"name": "EDGE", "fields": [{"name": "E:D4", "type": "DECIMAL",
      "digits": 4, "places": 2}, {"name": "E:D1", "type": "DECIMAL", "digits": 1, "places": 1}, {"name": "E:CS",
      "type": "CSTRING", "length": 4}, {"name": "E:PS", "type": "PSTRING", "length": 4}, {"name": "E:SR", "type":
      "SREAL"}, {"name": "E:R", "type": "REAL"}, {"name": "E:US", "type": "USHORT"}], "records": [{)") + bad + "}]}]}";
    EXPECT_EQ(ksf({"load", path("edge3")}, one).status, 2) << bad;
  }
}

TEST_F(KsfCommandTest, OneTableDumpsAloneAndReadably) {
  ASSERT_EQ(ksf({"load", path("f")}, kAllTypes).status, 0);
  const Json doc = parsed(dump_json(path("f") + "\\!oemtable"));
  ASSERT_EQ(doc.at("tables").size(), 1u);
  EXPECT_EQ(table(doc, 0).at("records").size(), 2u);
  Outcome text = ksf({"dump", path("f")});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("TABLE OEMTABLE  (OEM)"), std::string::npos) << text.out;
  const std::string key_line = "    ALL:STRKEY" + std::string(20, ' ') + " KEY(-ALL:STR,+ALL:DEC), DUP, OPT, NOCASE\n";
  EXPECT_NE(text.out.find(key_line), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("    2: OEM:NAME=\"Zoë       \" OEM:TEXT=\"\""), std::string::npos) << text.out;
  EXPECT_EQ(ksf({"dump", path("f") + "\\!NOSUCH"}).status, 2);
  EXPECT_EQ(ksf({"dump", path("nofile")}).status, 2);
  EXPECT_FALSE(std::ifstream(path("nofile.KSF")).good());  // a dump makes no file
}

TEST_F(KsfCommandTest, TableWithoutFieldsStillDumpsValidJson) {
  // Another writer's table whose definition has no field at all.
  {
    using namespace files::kestrel;
    std::shared_ptr<Pager> pager;
    ASSERT_TRUE(Pager::open(platform::Env::posix(), path("bare.KSF"), OpenOptions{}, &pager).ok());
    ASSERT_TRUE(pager->begin_access(AccessKind::update, true).ok());
    Tree tree(*pager);
    std::uint32_t t = 0;
    ASSERT_TRUE(tree.next_number(&t).ok());
    std::vector<Record> records;
    ASSERT_TRUE(definition_records(t, encode_definition(Definition{}), &records).ok());
    records.push_back(table_name_record("BARE", t));
    records.push_back(statistics_record(t, layout::kTagData, 0, 0));
    records.push_back(extra_record(t, false, runtime::CharTables::defaults()));
    for (const Record& r : records) ASSERT_TRUE(tree.insert(r).ok());
    ASSERT_TRUE(pager->end_access().ok());
  }
  const Outcome dump = ksf({"dump", path("bare.KSF"), "--json"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const Json doc = parsed(dump.out);
  EXPECT_EQ(text(table(doc, 0), "name"), "BARE");
  EXPECT_TRUE(table(doc, 0).at("records").empty());
}

TEST_F(KsfCommandTest, OwnerPasswordEnciphersAndIsNeededToRead) {
  ASSERT_EQ(ksf({"load", path("secret"), "--owner", "Swordfish"}, kAllTypes).status, 0);
  const std::string dump = dump_json(path("secret"), {"--owner", "Swordfish"});
  EXPECT_EQ(parsed(dump).at("tables").size(), 2u);
  EXPECT_EQ(read(path("secret.KSF")).find("ALL:ID"), std::string::npos);  // nothing readable on disk
  EXPECT_EQ(ksf({"dump", path("secret"), "--json"}).status, 2);
  EXPECT_EQ(ksf({"check", path("secret"), "--owner", "Swordfish"}).status, 0);
  Outcome wrong = ksf({"check", path("secret"), "--owner", "swordfish"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("another owner password"), std::string::npos);
  // Loading the dump into a plain file gives the same JSON.
  ASSERT_EQ(ksf({"load", path("plain")}, dump).status, 0);
  EXPECT_EQ(dump_json(path("plain")), dump);
}

TEST_F(KsfCommandTest, RefusedRecordIsReportedByItsPlaceAndTheRestAreAdded) {
  const std::string json = R"({"tables": [{"name": "UNNAMED",
    "fields": [{"name": "U:ID", "type": "LONG"}, {"name": "U:NAME", "type": "STRING", "length": 4}],
    "keys": [{"name": "U:IDKEY", "components": [{"field": "U:ID"}]}],
    "records": [{"U:ID": 1}, {"U:ID": 2}, {"U:ID": 1, "U:NAME": "dup"}, {"U:ID": 3}, {"U:ID": 2}]}]})";
  write(path("in.json"), json);
  Outcome r = ksf({"load", path("u"), path("in.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "3 records added to " + path("u.KSF") + ", 2 refused\n");
  EXPECT_NE(r.err.find("tables[0].records[2] (table UNNAMED): refused: Creates Duplicate Key"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("tables[0].records[4]"), std::string::npos) << r.err;
  const Json doc = parsed(dump_json(path("u")));
  ASSERT_EQ(table(doc, 0).at("records").size(), 3u);
  EXPECT_EQ(text(record(doc, 0, 2), "U:ID"), "3");
  EXPECT_EQ(ksf({"check", path("u")}).status, 0);
}

TEST_F(KsfCommandTest, JsonItCannotUseWritesNothing) {
  const struct {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"tables": [}})", "line 1, column 13"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "LONG"}],
          "records": [{"T:A": 1}, {"T:A": 2147483648}]}]})",
       "tables[0].records[1].T:A: a whole number from -2147483648 to 2147483647 is expected"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "STRING", "length": 2}],
          "records": [{"T:A": "abc"}]}]})",
       "3 characters, the field holds 2"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "STRING", "length": 2}],
          "records": [{"T:B": "a"}]}]})",
       "no field or memo is named \"T:B\""},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "STRING", "length": 2}],
          "records": [{"T:A": "\u4e2d"}]}]})",
       "T:A: the character U+4E2D (\u4e2d) has no Windows-1252 byte"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "MEMO"}]}]})", "not a field type"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "DECIMAL", "digits": 5, "places": 2}],
          "records": [{"T:A": 1234.5}]}]})",
       "more digits than DECIMAL(5,2) holds"},
      {R"({"tables": [{"name": "T", "fields": [{"name": "T:A", "type": "BYTE"},
          {"name": "T:G", "type": "GROUP", "dim": [60000], "fields": [
            {"name": "T:H", "type": "GROUP", "dim": [60000], "fields": []}]}]}]})",
       "more elements than the record has bytes"},
  };
  for (const auto& c : cases) {
    Outcome r = ksf({"load", path("never")}, c.json);
    EXPECT_EQ(r.status, 2) << c.json;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream(path("never.KSF")).good()) << c.json;
  }
}

TEST_F(KsfCommandTest, LoadIntoATableOfAnotherDefinitionIsRefused) {
  ASSERT_EQ(ksf({"load", path("f")}, kAllTypes).status, 0);
  Outcome r = ksf({"load", path("f")}, R"({"tables": [{"name": "OEMTABLE", "fields": [{"name": "X", "type": "BYTE"}]}]})");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("another definition"), std::string::npos) << r.err;
  // The same definition takes more records.
  ASSERT_EQ(ksf({"load", path("f")}, R"({"tables": [{"name": "OEMTABLE", "oem": true,
    "fields": [{"name": "OEM:NAME", "type": "STRING", "length": 10}],
    "keys": [{"name": "OEM:NAMEKEY", "nocase": true, "components": [{"field": "OEM:NAME"}]}],
    "memos": [{"name": "OEM:TEXT", "type": "MEMO", "size": 30}],
    "records": [{"OEM:NAME": "Third"}]}]})").status, 0);
  EXPECT_EQ(table(parsed(dump_json(path("f") + "\\!OEMTABLE")), 0).at("records").size(), 3u);
}

TEST_F(KsfCommandTest, CheckReportsFaultsWithItsExitStatus) {
  ASSERT_EQ(ksf({"load", path("c")}, kAllTypes).status, 0);
  Outcome good = ksf({"check", path("c")});
  EXPECT_EQ(good.status, 0);
  std::string bytes = read(path("c.KSF"));
  const std::string before = bytes;
  bytes[512 + 4] ^= 0x40;  // the first page's stored size
  write(path("c.KSF"), bytes);
  Outcome bad = ksf({"check", path("c")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("page 0"), std::string::npos) << bad.out;
  EXPECT_EQ(read(path("c.KSF")), bytes);  // the check wrote nothing
  write(path("c.KSF"), "MZ" + std::string(600, '\0'));
  Outcome foreign = ksf({"check", path("c")});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_NE(foreign.out.find("magic"), std::string::npos);
  EXPECT_EQ(ksf({"check", path("missing")}).status, 2);
  // A table named must be there; the unnamed one is.
  ASSERT_EQ(ksf({"load", path("t")}, kAllTypes).status, 0);
  Outcome lacking = ksf({"check", path("t") + "\\!NOSUCH"});
  EXPECT_EQ(lacking.status, 2);
  EXPECT_NE(lacking.err.find("the file holds no table NOSUCH"), std::string::npos) << lacking.err;
  EXPECT_EQ(ksf({"check", path("t") + "\\!oemtable"}).status, 0);
  EXPECT_EQ(ksf({"check", path("t") + "\\!"}).status, 0);
}

TEST_F(KsfCommandTest, DumpThatFailsMidwayKeepsTheReasonAndWritesNoHalfJson) {
  Json records = Json::array();
  for (int i = 0; i < 3000; ++i) records.push_back({{"U:ID", i}, {"U:NAME", "name " + std::to_string(i) + std::string(40, 'x')}});
  Json doc = *json::parse(R"({"tables": [{"name": "UNNAMED",
    "fields": [{"name": "U:ID", "type": "LONG"}, {"name": "U:NAME", "type": "STRING", "length": 60}],
    "keys": [{"name": "U:IDKEY", "components": [{"field": "U:ID"}]}]}]})", nullptr);
  doc["tables"][0]["records"] = records;
  ASSERT_EQ(ksf({"load", path("big")}, json::write(doc)).status, 0);
  // Damage pages of the second half until a read there fails.
  const std::string intact = read(path("big.KSF"));
  Outcome failed;
  for (std::size_t at = intact.size() / 2 + 100; at + 16 < intact.size() && failed.status == 0; at += 1024) {
    std::string bytes = intact;
    for (std::size_t k = 0; k < 16; ++k) bytes[at + k] ^= 0x5A;
    write(path("big.KSF"), bytes);
    failed = ksf({"dump", path("big.KSF"), "--json"});
  }
  ASSERT_EQ(failed.status, 2);
  EXPECT_NE(failed.err.find("reading record "), std::string::npos) << failed.err;
  EXPECT_EQ(failed.err.find(":  (0)"), std::string::npos) << failed.err;  // the reason is there
  EXPECT_NE(failed.err.find("(90)"), std::string::npos) << failed.err;
  EXPECT_TRUE(failed.out.empty()) << failed.out.size() << " bytes of JSON written";
}

TEST_F(KsfCommandTest, WrongUsageIsStatusTwo) {
  EXPECT_EQ(ksf({}).status, 2);
  EXPECT_EQ(ksf({"frobnicate", "x"}).status, 2);
  EXPECT_EQ(ksf({"check"}).status, 2);
  EXPECT_EQ(ksf({"check", "a", "b"}).status, 2);
  EXPECT_EQ(ksf({"dump", "a", "--owner"}).status, 2);
  EXPECT_EQ(ksf({"load", "a", "--json"}).status, 2);
  EXPECT_EQ(ksf({"load", path("x") + "\\!T"}, "{}").status, 2);
  Outcome help = ksf({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("JSON shape"), std::string::npos);
}

// Each child loads its own records into the same new file: half of them
// into a table both create, half into a table of its own.
Json records_for(int writer, int from, int count) {
  Json records = Json::array();
  for (int n = from; n < from + count; ++n) {
    Json r = Json::object();
    r["W:ID"] = writer * 100000 + n;
    r["W:TEXT"] = "writer " + std::to_string(writer);
    records.push_back(std::move(r));
  }
  return records;
}

std::string load_text(int writer, int count) {
  auto table = [&](const std::string& name, int from) {
    Json t = Json::object();
    t["name"] = name;
    t["fields"] = *json::parse(R"([{"name": "W:ID", "type": "LONG"}, {"name": "W:TEXT", "type": "STRING", "length": 12}])", nullptr);
    t["keys"] = *json::parse(R"([{"name": "W:IDKEY", "components": [{"field": "W:ID"}]}])", nullptr);
    t["records"] = records_for(writer, from, count);
    return t;
  };
  Json doc = Json::object();
  Json& tables = doc["tables"] = Json::array();
  tables.push_back(table("COMMON", 0));
  tables.push_back(table("OWN" + std::to_string(writer), count));
  return json::write(doc);
}

TEST_F(KsfCommandTest, TwoLoadsAtOnceBothLand) {
  constexpr int kCount = 700;
  const std::string file = path("shared");
  std::vector<pid_t> children;
  for (int writer = 1; writer <= 2; ++writer) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::istringstream in(load_text(writer, kCount));
      std::ostringstream out, err;
      const int status = run_ksf({"load", file}, in, out, err, platform::Env::posix());
      if (status != 0) std::fprintf(stderr, "writer %d: %s", writer, err.str().c_str());
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  const Json doc = parsed(dump_json(file));
  ASSERT_EQ(doc.at("tables").size(), 3u);
  EXPECT_EQ(text(table(doc, 0), "name"), "COMMON");
  EXPECT_EQ(table(doc, 0).at("records").size(), 2u * kCount);
  EXPECT_EQ(table(doc, 1).at("records").size(), std::size_t{kCount});
  EXPECT_EQ(table(doc, 2).at("records").size(), std::size_t{kCount});
  Outcome check = ksf({"check", file});
  EXPECT_EQ(check.status, 0) << check.out;
}

}  // namespace
}  // namespace cli
