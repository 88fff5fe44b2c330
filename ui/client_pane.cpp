#include "ui/client_pane.h"

#include <QPalette>

CClientPane::CClientPane(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);  // the client edge
  setBackgroundRole(QPalette::Base);                    // the window colour
  setAutoFillBackground(true);
}

void CClientPane::paintEvent(QPaintEvent* event) {
  // Only the edge: the pane has no content.
  QFrame::paintEvent(event);
}
