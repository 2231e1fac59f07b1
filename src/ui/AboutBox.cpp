#include "ui/AboutBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "shell/TrayModel.h"
#include "ui/AppIcon.h"

namespace kestrel::ui {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutBox"));
  setWindowTitle(QString::fromLatin1(TrayModel::kAboutTitle));
  const QIcon icon = ApplicationIcon();
  setWindowIcon(icon);

  auto* picture = new QLabel;
  picture->setPixmap(icon.pixmap(32, 32));
  auto* text = new QLabel(QString::fromLatin1(TrayModel::kAboutText));
  text->setObjectName(QStringLiteral("aboutText"));
  auto* row = new QHBoxLayout;
  row->addWidget(picture);
  row->addSpacing(12);
  row->addWidget(text, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace kestrel::ui
