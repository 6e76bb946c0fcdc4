#pragma once

#include <QCursor>

namespace veltra {

struct CursorImage;

// The host's pointer image (a valid one) as a cursor of ours, drawn `scale` logical pixels per
// remote pixel, the scale at which the picture is shown, so that it covers what it covers there;
// `devicePixelRatio` keeps it sharp on a scaled screen. The hot spot moves with the scale and stays
// inside. A fully transparent image gives a cursor that shows nothing, like the remote pointer.
//
// THREADING: GUI thread (it makes a pixmap).
QCursor remotePointerCursor(const CursorImage& image, double scale, qreal devicePixelRatio);

}  // namespace veltra
