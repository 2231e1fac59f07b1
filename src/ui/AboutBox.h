#pragma once
// The about box "About KestrelServer": the application icon, the line
// "Kestrel - Server, Version 1.0" and an OK button. GUI thread only.
#include <QDialog>

namespace kestrel::ui {

class AboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace kestrel::ui
