#include "screen/imp_email_internet.h"

#include "host/brenmor.h"
#include "host/error_dialog.h"
#include "host/text_services.h"
#include "import/log_paths.h"
#include "import/messages.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/net/protocol.h"
#include "platform/os/file_services.h"

namespace zeb::screen {

namespace {

constexpr const char* kFontName = "MS Sans Serif";
constexpr int kFontHeight = 11;
constexpr const char* kUnfold = "Detalhes >>";
constexpr const char* kFold = "Detalhes <<";

void setFont(ui::Control& control, bool bold) {
  control.setFontName(kFontName);
  control.setFontHeight(kFontHeight);
  control.setBold(bold);
}

void place(ui::Control& control, int left, int top, int width, int height,
           std::string_view caption = {}) {
  control.setBounds(left, top, width, height);
  if (!caption.empty()) control.setCaption(caption);
}

// The details' labels keep their designed size and take the group's bold font.
void detailLabel(ui::Label& label, int left, int top, int width, std::string_view caption = {}) {
  place(label, left, top, width, 13, caption);
  label.setAutoSize(false);
  setFont(label, true);
}

}  // namespace

TfrmImpEmailInternet::TfrmImpEmailInternet()
    : TfrmPadrImportExport("frmImpEmailInternet"),
      grbArquivo(&grbDadosRel, "grbArquivo"),
      lblArqEmail(&grbArquivo, "lblArqEmail"),
      edtArqEmail(&grbArquivo, "edtArqEmail"),
      btpArqEmail(&grbArquivo, "btpArqEmail"),
      btfParar(&grbDadosRel, "btfParar"),
      btfDetalhes(&grbDadosRel, "btfDetalhes"),
      grbDetEmail(&grbDadosRel, "grbDetEmail"),
      lblPerEmail(&grbDetEmail, "lblPerEmail"),
      lblPerImpEmail(&grbDetEmail, "lblPerImpEmail"),
      lblQtEmail(&grbDetEmail, "lblQtEmail"),
      lblQtImpEmail(&grbDetEmail, "lblQtImpEmail"),
      lblRegAgrup(&grbDetEmail, "lblRegAgrup"),
      lblDadAgrup(&grbDetEmail, "lblDadAgrup") {
  buildControls();
  FormCreate(*this);
}

TfrmImpEmailInternet::~TfrmImpEmailInternet() {
  FormDestroy(*this);
  // The module's reference must never point at a screen that is gone: the next opening then
  // creates a new one.
  if (frmImpEmailInternet == this) {
    frmImpEmailInternet = nullptr;
    boStCriado = false;
  }
}

void TfrmImpEmailInternet::buildControls() {
  setCaption("Importação de Log de E-mail");
  setFormStyle(ui::FormStyle::MDIChild);
  setBounds(364, 281, width(), height());
  setClientSize(420, 116);

  msgPadrao.setLines(import::messageLines());
  lblCodTela.setCaption("ZEB18000");
  lblCodTela.setWidth(52);
  sbtImportExport.setHint("Importar");
  lblProgresso.setWidth(363);
  lblProgresso.setBold(true);
  lblProgresso.setAutoSize(false);
  pgbProgresso.setWidth(418);

  place(grbArquivo, 4, 7, 356, 44, "Arquivo de Origem");
  setFont(grbArquivo, true);
  place(lblArqEmail, 6, 18, 35, 13, "E-mail");
  setFont(lblArqEmail, true);
  place(edtArqEmail, 56, 15, 265, 21);
  setFont(edtArqEmail, false);
  edtArqEmail.setColor(ui::kClWindow);
  place(btpArqEmail, 328, 15, 21, 21);
  btpArqEmail.setHint("Pesquisar");
  btpArqEmail.setShowHint(true);
  btpArqEmail.setAssociate(&edtArqEmail);

  place(btfParar, 195, 56, 80, 21, "Parar");
  btfParar.setHint("Parar Importação");
  btfParar.setShowHint(true);
  btfParar.setEnabled(false);
  setFont(btfParar, true);
  place(btfDetalhes, 279, 56, 80, 21, kUnfold);
  btfDetalhes.setHint("Exibir Detalhes");
  btfDetalhes.setShowHint(true);
  btfDetalhes.setEnabled(false);
  setFont(btfDetalhes, true);

  place(grbDetEmail, 4, 87, 356, 75, "Email");
  setFont(grbDetEmail, true);
  grbDetEmail.setVisible(false);
  detailLabel(lblPerEmail, 6, 15, 123, "Período:");
  detailLabel(lblPerImpEmail, 144, 15, 200);
  detailLabel(lblQtEmail, 6, 35, 123, "Registros importados:");
  detailLabel(lblQtImpEmail, 144, 35, 200);
  detailLabel(lblRegAgrup, 6, 55, 123, "Registros agrupados:");
  detailLabel(lblDadAgrup, 144, 55, 200);

  odgArquivo.Filter = kFileFilter;
  // A rotation set (mail.log, mail.log.1, mail.log.2.gz...) is imported as one log.
  odgArquivo.MultiSelect = true;

  netEmail.setServerName(std::string(platform::net::protocol::kObjectName));
  netEmail.setHost("127.0.0.1");
  netEmail.setThrowException(false);
  netEmail.setBeforeConnect([this](platform::net::TNetConnection& c) { netEmailBeforeConnect(c); });

  edtArqEmail.setOnChange([this](ui::Control& sender) { edtArqEmailChange(sender); });
  btpArqEmail.setOnClick([this](ui::Control& sender) { btpArqEmailClick(sender); });
  btfParar.setOnClick([this](ui::Control& sender) { btfPararClick(sender); });
  btfDetalhes.setOnClick([this](ui::Control& sender) { btfDetalhesClick(sender); });

  // The screen is visible from its creation.
  setVisible(true);
}

void TfrmImpEmailInternet::FormCreate(ui::Control& sender) {
  TfrmPadrImportExport::FormCreate(sender);
  netEmail.setConnected(true);
}

void TfrmImpEmailInternet::FormDestroy(ui::Control& sender) {
  TfrmPadrImportExport::FormDestroy(sender);
  netEmail.setConnected(false);
}

void TfrmImpEmailInternet::netEmailBeforeConnect(platform::net::TNetConnection& sender) {
  sender.setHost(host::Brenmor::WebURL());
  sender.setPort(host::Brenmor::WebPort());
  sender.setSecurity(host::hostSettings().serverSecurity);
}

void TfrmImpEmailInternet::FormKeyPress(ui::Control& sender, char& key) {
  if (key == ui::kKeyEscape && !sbtImportExport.enabled()) key = 0;
  TfrmPadrImportExport::FormKeyPress(sender, key);
}

void TfrmImpEmailInternet::FormClose(ui::Control& sender, ui::TCloseAction& action) {
  if (!sbtImportExport.enabled()) {
    action = ui::TCloseAction::caNone;
    return;
  }
  TfrmPadrImportExport::FormClose(sender, action);
}

void TfrmImpEmailInternet::Vd_Arquivos() {
  try {
    if (host::EmptyString(edtArqEmail.text())) {
      host::MensErro(msgPadrao.Msg("Arq_Inf"), true);
    }
    std::vector<std::string> paths;
    try {
      paths = import::splitLogPaths(edtArqEmail.text());
    } catch (const platform::EConvertError& e) {
      edtArqEmail.setFocus();
      boEmail = false;
      host::MensErro(msgPadrao.Msg("Arq_Inv"), true, e.what());
    }
    for (const std::string& path : paths) {
      if (!platform::os::fileExists(path)) {
        edtArqEmail.setFocus();
        boEmail = false;
        host::MensErro(msgPadrao.Msg("Arq_Inv"), true, "no file at " + path);
      }
    }
    boEmail = true;
  } catch (...) {
    boEmail = false;
    throw;
  }
}

void TfrmImpEmailInternet::CtrlComps(bool enabled) {
  grbArquivo.setEnabled(enabled);
  sbtSair.setEnabled(enabled);
  lblArqEmail.setEnabled(enabled);
  edtArqEmail.setEnabled(enabled);
  btpArqEmail.setEnabled(enabled);
  sbtImportExport.setEnabled(enabled);
  edtArqEmail.setColor(enabled ? ui::kClWindow : ui::kClBtnFace);
}

void TfrmImpEmailInternet::edtArqEmailChange(ui::Control&) {
  if (boDetAtiv) btfDetalhes.click();
  lblProgresso.setCaption("");
  btfDetalhes.setEnabled(false);
  pgbProgresso.setPosition(0);
  boImport = true;
}

void TfrmImpEmailInternet::btpArqEmailClick(ui::Control&) {
  if (odgArquivo.Execute()) edtArqEmail.setText(import::joinLogPaths(odgArquivo.Files));
}

void TfrmImpEmailInternet::btfDetalhesClick(ui::Control&) {
  if (btfDetalhes.caption() == kUnfold) {
    btfDetalhes.setCaption(kFold);
    btfDetalhes.setHint("Esconder Detalhes");
    if (boEmail) {
      setHeight(height() + kDetailsHeight);
      grbDetEmail.setVisible(true);
    }
    boDetAtiv = true;
  } else {
    btfDetalhes.setCaption(kUnfold);
    btfDetalhes.setHint("Exibir Detalhes");
    bool grown = grbDetEmail.visible();
    grbDetEmail.setVisible(false);
    if (grown) setHeight(height() - kDetailsHeight);
    boDetAtiv = false;
  }
}

void TfrmImpEmailInternet::btfPararClick(ui::Control&) {
  int answer = msgPadrao.ShowMsg("Parar", ui::MsgDlgType::Confirmation,
                                 {ui::MsgDlgBtn::Yes, ui::MsgDlgBtn::No}, 0);
  if (answer != ui::kMrYes) return;
  boImport = false;
  lblProgresso.setCaption("");
  btfParar.setEnabled(false);
}

}  // namespace zeb::screen
