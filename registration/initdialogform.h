#pragma once

class QDialog;
class QDialogButtonBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QWidget;

// The widgets of InitDialog, laid out at fixed places; each is owned by its parent widget.
class InitDialogForm
{
public:
    void setupUi(QDialog *dialog);
    void retranslateUi(QDialog *dialog);

    QDialogButtonBox *buttonBox = nullptr;
    QWidget *formLayoutWidget = nullptr;
    QFormLayout *formLayout = nullptr;
    QLabel *usernameLabel = nullptr;
    QLineEdit *usernameLineEdit = nullptr;
    QLabel *passwordLabel = nullptr;
    QLineEdit *passwordLineEdit = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
};
