#include "registration/initdialog.h"

#include "net/axserver.h"
#include "registration/initdialogform.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>

InitDialog::InitDialog(const QString &adminUser, const QString &adminPassword, QWidget *parent)
    : QDialog(parent), ui(std::make_unique<InitDialogForm>())
{
    // The images live in the static server library: register them before the first use.
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    ui->usernameLineEdit->setText(adminUser);
    ui->passwordLineEdit->setText(adminPassword);
    ui->progressBar->setRange(0, 100);
}

InitDialog::~InitDialog() = default;

void InitDialog::on_buttonBox_accepted()
{
    const QString user = ui->usernameLineEdit->text();
    const QString password = ui->passwordLineEdit->text();
    if (user.isEmpty() || password.isEmpty()) {
        QMessageBox::critical(this, tr("Empty fields"),
                              tr("The admin user name and password fields must not be empty"),
                              QMessageBox::Ok);
        return;
    }
    AXServer server;
    connect(&server, &AXServer::progress, ui->progressBar, &QProgressBar::setValue);
    connect(&server, &AXServer::progressText, ui->progressLabel, &QLabel::setText);
    server.registration(user, password);
    disconnect(&server, &AXServer::progress, ui->progressBar, &QProgressBar::setValue);
    disconnect(&server, &AXServer::progressText, ui->progressLabel, &QLabel::setText);
    QMessageBox::information(this, tr("Initialization dialog"), tr("Initialization done"),
                             QMessageBox::Ok);
}
