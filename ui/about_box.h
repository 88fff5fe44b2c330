// The About box: a small modal dialog with the application icon, the product name with its
// version, a maker's notice and an OK button.
//
// Laid out in dialog units of its own font ("宋体" 9 pt, or the nearest font the system has) so
// that it keeps the proportions of the classic 248 x 77 unit dialog.
// Error rule: none. Thread rule: UI thread only. Ownership: ShowAboutBox owns the dialog for
// the time it is shown; the parent is borrowed.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class CAboutBox final : public QDialog {
public:
  explicit CAboutBox(QWidget* parent = nullptr);

  // The product line ("Quarnix 1.0.0 版"), the maker's notice and the OK button.
  QLabel* ProductLine() const { return m_productLine; }
  QLabel* Notice() const { return m_notice; }
  QLabel* IconLabel() const { return m_icon; }
  QPushButton* OkButton() const { return m_ok; }

private:
  QLabel* m_icon = nullptr;
  QLabel* m_productLine = nullptr;
  QLabel* m_notice = nullptr;
  QPushButton* m_ok = nullptr;
};

// Shows the About box modally over parent until the operator closes it.
void ShowAboutBox(QWidget* parent);
