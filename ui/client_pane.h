// The frame's client pane: an empty child that fills the client area above the status bar.
//
// It draws nothing of its own: a sunken client edge around the window colour. The log pane
// lies on top of it at a fixed place.
// Error rule: none. Thread rule: UI thread only. Ownership: owned by the frame as its central
// widget.
#pragma once

#include <QFrame>

class CClientPane final : public QFrame {
public:
  explicit CClientPane(QWidget* parent = nullptr);

protected:
  void paintEvent(QPaintEvent* event) override;
};
