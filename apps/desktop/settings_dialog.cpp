#include "settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include "host/host_port.h"

namespace zeb::desktop {

ServerChoice loadServerChoice() {
  ServerChoice choice;
  QSettings settings("zeb18000", "zeb18000-desktop");
  choice.branch = settings.value("branch", choice.branch).toString();
  choice.server = settings.value("server", choice.server).toString();
  choice.database = settings.value("database", choice.database).toString();
  choice.contentFilters = settings.value("contentFilters", choice.contentFilters).toString();
  choice.tokenFile = settings.value("tokenFile", choice.tokenFile).toString();
  choice.caFile = settings.value("caFile", choice.caFile).toString();
  choice.insecure = settings.value("insecure", choice.insecure).toBool();
  return choice;
}

void saveServerChoice(const ServerChoice& choice) {
  QSettings settings("zeb18000", "zeb18000-desktop");
  settings.setValue("branch", choice.branch);
  settings.setValue("server", choice.server);
  settings.setValue("database", choice.database);
  settings.setValue("contentFilters", choice.contentFilters);
  settings.setValue("tokenFile", choice.tokenFile);
  settings.setValue("caFile", choice.caFile);
  settings.setValue("insecure", choice.insecure);
}

platform::net::NetSecurity serverSecurity(const ServerChoice& choice) {
  platform::net::NetSecurity security;
  std::string host;
  int port = 0;
  host::splitServerAddress(choice.server.toStdString(), host, port, security.tls);
  security.caFile = choice.caFile.toStdString();
  security.verifyPeer = !choice.insecure;
  if (!choice.tokenFile.isEmpty()) {
    security.token = platform::net::readTokenFile(choice.tokenFile.toStdString());
  }
  return security;
}

std::vector<std::string> contentFilterList(const ServerChoice& choice) {
  std::vector<std::string> filters;
  for (const QString& entry : choice.contentFilters.split(',', Qt::SkipEmptyParts)) {
    if (!entry.trimmed().isEmpty()) filters.push_back(entry.trimmed().toStdString());
  }
  return filters;
}

QString checkServerChoice(const ServerChoice& choice) {
  if (choice.branch.isEmpty() || choice.branch.size() > 4) {
    return "A filial tem de 1 a 4 caracteres, não \"" + choice.branch + "\".";
  }
  std::string host;
  int port = 0;
  bool tls = false;
  if (!choice.server.isEmpty() &&
      !host::splitServerAddress(choice.server.toStdString(), host, port, tls)) {
    return "O servidor se escreve HOST:PORTA ou https://HOST:PORTA (como 127.0.0.1:18000), "
           "não \"" +
           choice.server + "\".";
  }
  if (!tls && (!choice.caFile.isEmpty() || choice.insecure)) {
    return "Certificados e a opção de aceitar qualquer certificado valem só para um servidor "
           "https://.";
  }
  if (!choice.tokenFile.isEmpty()) {
    try {
      platform::net::readTokenFile(choice.tokenFile.toStdString());
    } catch (const std::exception& e) {
      return "O token não pode ser lido: " + QString::fromStdString(e.what()) + ".";
    }
  }
  for (const std::string& filter : contentFilterList(choice)) {
    if (!host::splitHostPort(filter, host, port)) {
      return "Um filtro de conteúdo se escreve HOST:PORTA (como 127.0.0.1:10024), não \"" +
             QString::fromStdString(filter) + "\".";
    }
  }
  if (choice.server.isEmpty() && choice.database.isEmpty()) {
    return "Sem servidor, o banco de dados do servidor embutido deve ser informado.";
  }
  return {};
}

SettingsDialog::SettingsDialog(const ServerChoice& choice, QWidget* parent)
    : QDialog(parent),
      branch_(new QLineEdit(choice.branch, this)),
      server_(new QLineEdit(choice.server, this)),
      database_(new QLineEdit(choice.database, this)),
      contentFilters_(new QLineEdit(choice.contentFilters, this)),
      tokenFile_(new QLineEdit(choice.tokenFile, this)),
      caFile_(new QLineEdit(choice.caFile, this)),
      insecure_(new QCheckBox("Aceitar qualquer certificado (inseguro)", this)) {
  setWindowTitle("Configurações");
  branch_->setMaxLength(4);
  server_->setPlaceholderText("embutido");
  auto* form = new QFormLayout(this);
  form->addRow("Filial:", branch_);
  form->addRow("Servidor (HOST:PORTA ou https://HOST:PORTA):", server_);
  form->addRow("Banco do servidor embutido:", database_);
  contentFilters_->setPlaceholderText("nenhum");
  contentFilters_->setToolTip(
      "Entregas a um filtro de conteúdo (como o amavis em 127.0.0.1:10024) não contam:\n"
      "cada mensagem conta uma vez. Vários separados por vírgulas.");
  form->addRow("Filtros de conteúdo (HOST:PORTA):", contentFilters_);
  tokenFile_->setPlaceholderText("nenhum");
  tokenFile_->setToolTip("Arquivo cuja primeira linha é o token que o servidor exige.");
  form->addRow("Arquivo do token:", tokenFile_);
  caFile_->setPlaceholderText("os do sistema");
  caFile_->setToolTip(
      "Certificados (PEM) que validam um servidor https://, como um "
      "certificado autoassinado.");
  form->addRow("Certificados confiáveis (PEM):", caFile_);
  insecure_->setChecked(choice.insecure);
  form->addRow(insecure_);
  form->addRow(new QLabel("Vale a partir da próxima abertura de uma tela.", this));
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton("OK", QDialogButtonBox::AcceptRole);
  buttons->addButton("Cancelar", QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  form->addRow(buttons);
}

ServerChoice SettingsDialog::choice() const {
  return {branch_->text().trimmed(),    server_->text().trimmed(),
          database_->text().trimmed(),  contentFilters_->text().trimmed(),
          tokenFile_->text().trimmed(), caFile_->text().trimmed(),
          insecure_->isChecked()};
}

void SettingsDialog::accept() {
  QString problem = checkServerChoice(choice());
  if (!problem.isEmpty()) {
    QMessageBox::warning(this, "Configurações", problem);
    return;
  }
  QDialog::accept();
}

}  // namespace zeb::desktop
