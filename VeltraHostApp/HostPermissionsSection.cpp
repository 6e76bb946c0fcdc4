// The host window's permissions section: the two requirements and how to meet them.

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "HostTheme.h"
#include "HostView.h"
#include "HostWidgets.h"

namespace veltra {

QWidget* HostView::requiredPermissions() {
  auto* panel = new Panel("Required permissions");
  QVBoxLayout* layout = panel->content();
  content_.requiredScreen = addRow(layout, "Virtual display (Xvfb)");
  content_.requiredInput = addRow(layout, "Remote input (XTEST)");
  layout->addWidget(
      makeText("Xvfb runs the private display that your other computer sees. XTEST "
               "delivers its keyboard and mouse events to that display.",
               HostTheme::text));
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  buttons->addWidget(checkRequirementsButton());
  auto* refresh = new QPushButton("Refresh Status");
  connect(refresh, &QPushButton::clicked, this, &HostView::refreshPermissions);
  buttons->addWidget(refresh);
  buttons->addStretch();
  layout->addLayout(buttons);
  return panel;
}

QWidget* HostView::permissionSetup() {
  auto* panel = new Panel("Permission setup");
  panel->content()->addWidget(
      makeText("Install the xvfb package (for example: sudo apt install xvfb), then press Check "
               "Requirements. Xvfb includes XTEST; no desktop permission dialog is involved.",
               HostTheme::text));
  return panel;
}

}  // namespace veltra
