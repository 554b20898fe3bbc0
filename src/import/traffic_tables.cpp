#include "import/traffic_tables.h"

namespace zeb::import {

using platform::data::FieldDef;
using platform::data::FieldType;

namespace {

FieldDef text(const char* name, int size) { return {name, FieldType::String, size}; }
FieldDef integer(const char* name) { return {name, FieldType::Integer, 0}; }
FieldDef number(const char* name) { return {name, FieldType::Double, 0}; }

std::vector<FieldDef> dadosFields() {
  std::vector<FieldDef> fields;
  for (const platform::net::protocol::ColumnDef& c : platform::net::protocol::kColumns) {
    fields.push_back({std::string(c.name), c.isText ? FieldType::String : FieldType::Double,
                      c.isText ? c.size : 0});
  }
  return fields;
}

}  // namespace

TrafficTables::TrafficTables()
    // CDMENS is as wide here as in cdsRecebimento: Postfix's long queue identifiers (15
    // characters and more) must stay whole in both tables, or no message would pair.
    : cdsEnvio("cdsEnvio", {text("CDMENS", 200), text("CDREMET", 200), text("DIA", 2),
                            text("MES", 4), integer("SIZE"), text("ANO", 4)}),
      cdsRecebimento("cdsRecebimento", {text("DIA", 2), text("MES", 4), text("NMDEST", 200),
                                        text("CDMENS", 200), text("ANO", 4)}),
      cdsIntermediario("cdsIntermediario",
                       {text("NMORIGEM", 150), text("NMDESTINO", 150), text("ANETLEMAIL", 4),
                        text("MEETLEMAIL", 4), text("DIETLEMAIL", 4), number("VRVOLDADOS")}),
      cdsDados("cdsDados", dadosFields()) {
  // Only the statistics table's change log is ever sent; the others keep none.
  cdsEnvio.setLogChanges(false);
  cdsRecebimento.setLogChanges(false);
  cdsIntermediario.setLogChanges(false);
}

void TrafficTables::openLogTables() {
  cdsEnvio.open();
  cdsRecebimento.open();
  envioLines.clear();
  recebimentoLines.clear();
}

void TrafficTables::releaseLogTables() {
  cdsEnvio.close();
  cdsRecebimento.close();
  std::vector<std::uint64_t>().swap(envioLines);
  std::vector<std::uint64_t>().swap(recebimentoLines);
}

void TrafficTables::closeAll() {
  cdsDados.close();
  cdsEnvio.close();
  cdsIntermediario.close();
  cdsRecebimento.close();
  std::vector<std::uint64_t>().swap(envioLines);
  std::vector<std::uint64_t>().swap(recebimentoLines);
}

}  // namespace zeb::import
