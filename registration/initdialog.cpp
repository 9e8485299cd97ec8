#include "registration/initdialog.h"

#include "registration/initdialogform.h"
#include "registration/serverregistration.h"

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
    // The procedure's progress goes straight to the bar and the label while it runs.
    ServerRegistration([this](int percent, const QString &text) {
        ui->progressBar->setValue(percent);
        ui->progressLabel->setText(text);
    }).run(user, password);
    QMessageBox::information(this, tr("Initialization dialog"), tr("Initialization done"),
                             QMessageBox::Ok);
}
