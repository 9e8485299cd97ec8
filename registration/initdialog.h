#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class InitDialogForm;

// The graphical registration: asks for the administrator's name and password and runs the
// registration procedure when Ok is pressed.
class InitDialog : public QDialog
{
    Q_OBJECT

public:
    InitDialog(const QString &adminUser, const QString &adminPassword, QWidget *parent = nullptr);
    ~InitDialog() override;

private slots:
    void on_buttonBox_accepted();

private:
    std::unique_ptr<InitDialogForm> ui;
};
