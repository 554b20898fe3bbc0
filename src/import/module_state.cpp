#include "import/module_state.h"

extern "C" {
zeb::screen::TfrmImpEmailInternet* frmImpEmailInternet = nullptr;
bool boStCriado = false;
bool boPost = false;
bool boEmail = false;
bool boInternet = false;
bool boDetAtiv = false;
bool boImport = true;
bool boRegsImp = false;
std::string stAno;
std::string stArqTemp;
std::int32_t inLinhas = 0;
}

namespace zeb::import {

void moduleStartUp() {
  // boStCriado, the screen reference, the texts and the counter keep what the load gave them.
  boPost = false;
  boEmail = false;
  boInternet = false;
  boDetAtiv = false;
  boRegsImp = false;
  boImport = true;
}

void moduleShutDown() {
  std::string().swap(stArqTemp);
  std::string().swap(stAno);
}

}  // namespace zeb::import
