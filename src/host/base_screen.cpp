#include "host/base_screen.h"

#include "host/busy_animation.h"
#include "platform/ui/application.h"

namespace zeb::host {

namespace ui = platform::ui;

TfrmPadrImportExport::TfrmPadrImportExport(std::string_view name)
    : Form(name),
      grbDadosRel(this, "grbDadosRel"),
      panMenu(this, "panMenu"),
      panBotoes(&panMenu, "panBotoes"),
      sbtImportExport(&panBotoes, "sbtImportExport"),
      sbtSair(&panBotoes, "sbtSair"),
      panHelp(&panMenu, "panHelp"),
      lblCodTela(&panHelp, "lblCodTela"),
      panProgresso(this, "panProgresso"),
      lblProgresso(&panProgresso, "lblProgresso"),
      pgbProgresso(&panProgresso, "pgbProgresso") {
  setClientSize(420, 116);
  grbDadosRel.setBounds(0, 0, 365, 84);
  panMenu.setBounds(365, 0, 55, 84);
  panBotoes.setBounds(0, 0, 55, 56);
  sbtImportExport.setBounds(4, 4, 47, 25);
  sbtImportExport.setCaption("Importar");
  sbtImportExport.setShowHint(true);
  sbtSair.setBounds(4, 31, 47, 22);
  sbtSair.setCaption("Sair");
  sbtSair.setHint("Fechar");
  sbtSair.setShowHint(true);
  panHelp.setBounds(0, 56, 55, 28);
  lblCodTela.setBounds(2, 8, 52, 13);
  lblCodTela.setAutoSize(false);
  panProgresso.setBounds(0, 84, 420, kProgressPanelHeight);
  lblProgresso.setBounds(2, 2, 363, 13);
  lblProgresso.setAutoSize(false);
  pgbProgresso.setBounds(1, 16, 418, 15);

  setOnResize([this](ui::Form&) { layOut(); });
  setOnKeyPress([this](ui::Control& sender, char& key) { FormKeyPress(sender, key); });
  setOnClose([this](ui::Control& sender, ui::TCloseAction& action) { FormClose(sender, action); });
  sbtImportExport.setOnClick([this](ui::Control& sender) { sbtImportExportClick(sender); });
  sbtSair.setOnClick([this](ui::Control&) { close(); });
}

TfrmPadrImportExport::~TfrmPadrImportExport() {
  // The handlers refer to this screen's virtual functions, which are gone once a derived
  // screen's destructor has run.
  setOnResize(nullptr);
  setOnKeyPress(nullptr);
  setOnClose(nullptr);
}

void TfrmPadrImportExport::FormCreate(ui::Control&) {
  lblProgresso.setCaption("");
  pgbProgresso.setPosition(0);
}

void TfrmPadrImportExport::FormDestroy(ui::Control&) {
  if (ui::application().busyShown()) DeactiveShowAvi();
  if (ui::application().cursor() != ui::kCrDefault) ui::application().setCursor(ui::kCrDefault);
}

void TfrmPadrImportExport::FormKeyPress(ui::Control&, char& key) {
  if (key == ui::kKeyEscape) {
    key = 0;
    close();
  }
}

void TfrmPadrImportExport::FormClose(ui::Control&, ui::TCloseAction& action) {
  action = ui::TCloseAction::caHide;
}

void TfrmPadrImportExport::layOut() {
  // Only the height follows: the screens are laid out for their designed width.
  int above = clientHeight() - kProgressPanelHeight;
  if (above < 0) above = 0;
  grbDadosRel.setHeight(above);
  panMenu.setHeight(above);
  panProgresso.setTop(above);
}

}  // namespace zeb::host
