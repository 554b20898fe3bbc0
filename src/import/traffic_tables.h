// The four in-memory tables of an import run: sending and delivery records read from the log,
// the per-message traffic that pairs them, and the statistics rows in the server's layout.
// The column indexes below follow each table's column order.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/data/record_set.h"

namespace zeb::import {

using platform::data::RecordSet;

namespace envio {
constexpr int CDMENS = 0;
constexpr int CDREMET = 1;
constexpr int DIA = 2;
constexpr int MES = 3;
constexpr int SIZE = 4;
constexpr int ANO = 5;
}  // namespace envio
namespace recebimento {
constexpr int DIA = 0;
constexpr int MES = 1;
constexpr int NMDEST = 2;
constexpr int CDMENS = 3;
constexpr int ANO = 4;
}  // namespace recebimento
namespace intermediario {
constexpr int NMORIGEM = 0;
constexpr int NMDESTINO = 1;
constexpr int ANETLEMAIL = 2;
constexpr int MEETLEMAIL = 3;
constexpr int DIETLEMAIL = 4;
constexpr int VRVOLDADOS = 5;
}  // namespace intermediario
namespace dados {
constexpr int CDFILIAL = 0;
constexpr int NMORIGEM = 1;
constexpr int NMDESTINO = 2;
constexpr int ANETLEMAIL = 3;
constexpr int MEETLEMAIL = 4;
constexpr int DIETLEMAIL = 5;
constexpr int BIETLEMAIL = 6;
constexpr int SEETLEMAIL = 7;
constexpr int TRETLEMAIL = 8;
constexpr int VRVOLDADOS = 9;
constexpr int QTEMAIL = 10;
}  // namespace dados

// The tables belong to the screen and live as long as it does; a run opens them empty and
// closes them at its end.
struct TrafficTables {
  TrafficTables();

  // Opens cdsEnvio and cdsRecebimento empty, for a parse.
  void openLogTables();
  // Closes cdsEnvio and cdsRecebimento and frees what their rows took, once the grouping has
  // consumed them.
  void releaseLogTables();
  // Closes all four, in the order the run closes them.
  void closeAll();

  RecordSet cdsEnvio;
  RecordSet cdsRecebimento;
  RecordSet cdsIntermediario;
  RecordSet cdsDados;

  // The log line of every parsed record, by row id: the log order of the two log tables
  // together, which dating and pairing need, and the line that an error names.
  std::vector<std::uint64_t> envioLines;
  std::vector<std::uint64_t> recebimentoLines;
};

}  // namespace zeb::import
