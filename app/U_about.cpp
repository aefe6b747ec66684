#include "app/U_about.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppInfo.h"
#include "app/AppServices.h"
#include "app/FormUtils.h"

namespace {

QLabel* NewLinkLabel(const QString& AText, QWidget* AParent) {
  auto* Label = new QLabel(AParent);
  Label->setTextFormat(Qt::RichText);
  Label->setText(QStringLiteral("<a href=\"#\">%1</a>").arg(AText.toHtmlEscaped()));
  Label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  Label->setOpenExternalLinks(false);
  Label->setCursor(Qt::PointingHandCursor);
  return Label;
}

}  // namespace

TFrm_about::TFrm_about(const QString& AAppName, const QString& AAppVersion, TAppServices& AServices, QWidget* AOwner)
    : QDialog(AOwner), FServices(AServices) {
  setObjectName(QStringLiteral("Frm_about"));
  setWindowTitle(tr("关于..."));
  setFont(FormFont());

  lblAppName = new QLabel(AAppName + QLatin1Char(' ') + AAppVersion, this);
  lblAppName->setObjectName(QStringLiteral("lblAppName"));
  QFont Bold = lblAppName->font();
  Bold.setBold(true);
  Bold.setPixelSize(16);
  lblAppName->setFont(Bold);

  lblHomepageCaption = new QLabel(tr("官方网站:"), this);
  lblHomepageCaption->setObjectName(QStringLiteral("lblHomepageCaption"));
  lblHomepage = NewLinkLabel(AppInfo::kHomePageUrl, this);
  lblHomepage->setObjectName(QStringLiteral("lblHomepage"));
  lblEmailCaption = new QLabel(QStringLiteral("E-mail:"), this);
  lblEmailCaption->setObjectName(QStringLiteral("lblEmailCaption"));
  lblEmail = NewLinkLabel(AppInfo::kSupportMail, this);
  lblEmail->setObjectName(QStringLiteral("lblEmail"));

  btnOK = new QPushButton(QStringLiteral("&OK"), this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnOK->setDefault(true);

  connect(lblHomepage, &QLabel::linkActivated, this, [this] { lblHomepageClick(); });
  connect(lblEmail, &QLabel::linkActivated, this, [this] { lblEmailClick(); });
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

  auto* Links = new QGridLayout;
  Links->setHorizontalSpacing(8);
  Links->setVerticalSpacing(10);
  Links->addWidget(lblHomepageCaption, 0, 0, Qt::AlignRight);
  Links->addWidget(lblHomepage, 0, 1, Qt::AlignLeft);
  Links->addWidget(lblEmailCaption, 1, 0, Qt::AlignRight);
  Links->addWidget(lblEmail, 1, 1, Qt::AlignLeft);
  Links->setColumnStretch(1, 1);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btnOK);

  auto* Main = new QVBoxLayout(this);
  Main->setContentsMargins(24, 18, 24, 14);
  Main->addWidget(lblAppName);
  Main->addSpacing(12);
  Main->addLayout(Links);
  Main->addStretch(1);
  Main->addLayout(Buttons);

  setFixedSize(419, 206);
  CenterOnScreen(this);
}

void TFrm_about::lblHomepageClick() { FServices.OpenUrl(AppInfo::HomePageUrl()); }

void TFrm_about::lblEmailClick() { FServices.OpenUrl(AppInfo::SupportMailUrl()); }
