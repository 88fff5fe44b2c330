#include "ui/about_box.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QStringList>

#include <cmath>

#include "res/strings.h"
#include "ui/app_icon.h"

namespace {

// Dialog units to pixels with the dialog font's base units: a horizontal unit is a quarter of
// the average character width, a vertical unit an eighth of the character height.
class CDialogUnits {
public:
  explicit CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(sample) / 26.0 + 1.0) / 2.0;
    m_baseY = metrics.height();
  }
  int X(int units) const { return static_cast<int>(std::lround(units * m_baseX / 4.0)); }
  int Y(int units) const { return static_cast<int>(std::lround(units * m_baseY / 8.0)); }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }

private:
  double m_baseX = 6.0;
  double m_baseY = 12.0;
};

QFont DialogFont() {
  QFont font;
  // SimSun under its Chinese and its Latin name; where neither exists, a CJK font that
  // Debian ships, then whatever the system chooses.
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                    QStringLiteral("WenQuanYi Micro Hei")});
  font.setPointSize(9);
  return font;
}

}  // namespace

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("关于..."));
  setFont(DialogFont());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const CDialogUnits units(font());

  m_icon = new QLabel(this);
  // An icon control takes the icon's own size, 32 x 32.
  m_icon->setPixmap(AppIcon().pixmap(32, 32));
  m_icon->setGeometry(units.X(11), units.Y(17), 32, 32);

  m_productLine = new QLabel(this);
  m_productLine->setText(QString::fromUtf8(kProductName) + QLatin1Char(' ') +
                         QString::fromUtf8(kProductVersion) + QStringLiteral(" 版"));
  m_productLine->setGeometry(units.Rect(40, 10, 147, 8));

  m_notice = new QLabel(this);
  m_notice->setText(QStringLiteral("OPC 数据网关\n版权所有 (C) 2026 Quarnix 开发组"));
  m_notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_notice->setGeometry(units.Rect(40, 25, 123, 31));

  m_ok = new QPushButton(QStringLiteral("确定"), this);
  m_ok->setDefault(true);
  m_ok->setGeometry(units.Rect(171, 35, 50, 14));
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(units.X(248), units.Y(77));
}

void ShowAboutBox(QWidget* parent) {
  CAboutBox box(parent);
  box.exec();
}
