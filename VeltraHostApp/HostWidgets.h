#pragma once

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QString>

#include "qt/VeltraPalette.h"

class QVBoxLayout;

// The host window's building blocks. Colours go into each widget's palette (WindowText for its
// text), not into style sheets, so the theme stays in one place and tests can read them back.
// GUI thread only.
namespace veltra {

// Text in one colour; `pixelSize` 0 keeps the system's size.
QLabel* makeText(const QString& text, PaletteColor color, int pixelSize = 0,
                 QFont::Weight weight = QFont::Normal, bool wrap = true);
void setTextColor(QWidget* widget, PaletteColor color);
PaletteColor textColor(const QWidget* widget);

// Short semibold text on a capsule of its own colour at 13 % opacity.
class Badge final : public QLabel {
  Q_OBJECT
 public:
  explicit Badge(QWidget* parent = nullptr);
  void set(const QString& text, PaletteColor color);

 protected:
  void paintEvent(QPaintEvent* event) override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }
};

// A titled card: the title in small semibold muted type, then the content, on the surface colour
// inside a rounded outline.
class Panel final : public QFrame {
  Q_OBJECT
 public:
  explicit Panel(const QString& title, QWidget* parent = nullptr);
  const QString& title() const { return title_; }
  QVBoxLayout* content() const { return content_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString title_;
  QVBoxLayout* content_;
};

// A label column 140 wide in the muted colour, then the value; returns the value's label.
QLabel* addRow(QVBoxLayout* layout, const QString& label);

// The identity header's image on a rounded square of its own colour at 12 % opacity.
class IconTile final : public QWidget {
  Q_OBJECT
 public:
  explicit IconTile(QWidget* parent = nullptr);
  void setImage(const QString& name);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString image_;
};

// One section in the sidebar: image, title and subtitle; the selected row is lit.
class SidebarRow final : public QAbstractButton {
  Q_OBJECT
 public:
  SidebarRow(const QString& image, const QString& title, QWidget* parent = nullptr);
  void setSubtitle(const QString& subtitle);
  QString subtitle() const { return subtitle_; }
  void setSelected(bool selected);
  bool selected() const { return selected_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  QSize sizeHint() const override;

 private:
  QString image_;
  QString subtitle_;
  bool selected_ = false;
  // The ring shows only for focus that came by the keyboard, not for the window's first focus.
  bool keyboardFocus_ = false;
};

}  // namespace veltra
