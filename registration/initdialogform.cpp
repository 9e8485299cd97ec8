#include "registration/initdialogform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

void InitDialogForm::setupUi(QDialog *dialog)
{
    dialog->setObjectName(QStringLiteral("InitDialog"));
    dialog->resize(628, 271);
    dialog->setWindowIcon(QIcon(QStringLiteral(":/ambrix.png")));

    buttonBox = new QDialogButtonBox(dialog);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    buttonBox->setGeometry(QRect(250, 210, 341, 32));
    buttonBox->setOrientation(Qt::Horizontal);
    buttonBox->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    formLayoutWidget = new QWidget(dialog);
    formLayoutWidget->setObjectName(QStringLiteral("formLayoutWidget"));
    formLayoutWidget->setGeometry(QRect(30, 30, 561, 151));
    formLayout = new QFormLayout(formLayoutWidget);
    formLayout->setObjectName(QStringLiteral("formLayout"));
    formLayout->setContentsMargins(0, 0, 0, 0);

    usernameLabel = new QLabel(formLayoutWidget);
    usernameLabel->setObjectName(QStringLiteral("usernameLabel"));
    formLayout->setWidget(0, QFormLayout::LabelRole, usernameLabel);
    usernameLineEdit = new QLineEdit(formLayoutWidget);
    usernameLineEdit->setObjectName(QStringLiteral("usernameLineEdit"));
    formLayout->setWidget(0, QFormLayout::FieldRole, usernameLineEdit);

    passwordLabel = new QLabel(formLayoutWidget);
    passwordLabel->setObjectName(QStringLiteral("passwordLabel"));
    formLayout->setWidget(1, QFormLayout::LabelRole, passwordLabel);
    passwordLineEdit = new QLineEdit(formLayoutWidget);
    passwordLineEdit->setObjectName(QStringLiteral("passwordLineEdit"));
    passwordLineEdit->setEchoMode(QLineEdit::Password);
    formLayout->setWidget(1, QFormLayout::FieldRole, passwordLineEdit);

    progressBar = new QProgressBar(formLayoutWidget);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    formLayout->setWidget(2, QFormLayout::SpanningRole, progressBar);

    progressLabel = new QLabel(formLayoutWidget);
    progressLabel->setObjectName(QStringLiteral("progressLabel"));
    progressLabel->setAlignment(Qt::AlignCenter);
    formLayout->setWidget(3, QFormLayout::SpanningRole, progressLabel);

    retranslateUi(dialog);

    // Accept first, then the by-name slot: Ok closes the dialog before the registration runs.
    QObject::connect(buttonBox, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QMetaObject::connectSlotsByName(dialog);
}

void InitDialogForm::retranslateUi(QDialog *dialog)
{
    dialog->setWindowTitle(QCoreApplication::translate("InitDialog", "Ambrix Server Initialization"));
    usernameLabel->setText(QCoreApplication::translate("InitDialog", "Administrator user name"));
    passwordLabel->setText(QCoreApplication::translate("InitDialog", "Administrator password"));
    progressLabel->setText(QString());
}
