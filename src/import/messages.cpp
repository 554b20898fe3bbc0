#include "import/messages.h"

#include "import/phase_ui.h"

namespace zeb::import {

const std::vector<std::string>& messageLines() {
  // Two keys differ in letter case from what the run asks for ("Rec_dad", "An_dad"); the
  // table's look-up ignores letter case.
  static const std::vector<std::string> lines = {
      "Arq_Inf|Arquivo deve ser informado.",
      "Arq_Inv|Arquivo é inválido ou não possui todos os dados necessários.",
      "Prep_Dados|Preparando dados...",
      "Bim|°Bim",
      "Sem|°Sem",
      "Tri|°Tri",
      "Imp|Importando ",
      "Imp_Conc|Importação concluída",
      "Parar|Parar importação?",
      "Rec_Dad|Recebendo dados do arquivo",
      "an_dad|Analisando dados",
      "Org_dad|Organizando dados",
      "user_canc|Importação finalizada pelo usuário",
      "no_data|Nenhum dado importado",
  };
  return lines;
}

const host::TMessages& defaultMessages() {
  static const host::TMessages table(messageLines());
  return table;
}

const host::TMessages& PhaseUi::msg() const {
  return messages != nullptr ? *messages : defaultMessages();
}

}  // namespace zeb::import
