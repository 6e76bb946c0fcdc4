#pragma once

#include <QOpenGLFunctions>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <array>
#include <memory>

class QOpenGLShaderProgram;

namespace veltra {

class RemoteFrame;

// Draws one decoded 4:2:0 picture into the current OpenGL framebuffer: its planes go up as
// textures as they are (one luma and one or two chroma textures, rows of any stride), a fragment
// shader converts them to RGB with the picture's own matrix and range, and the picture is fitted
// with its aspect ratio kept, centred, on black. No pixel is converted on the CPU.
//
// THREADING: the static functions are pure and run anywhere. Everything else runs on the GUI
// thread with the owning widget's context current; release() must be called while it still is.
class RemoteVideoRenderer : protected QOpenGLFunctions {
 public:
  // rgb = matrix × (yuv − offset), samples normalised to 0…1; matrix in column-major order, as
  // glUniformMatrix3fv takes it.
  struct ColorConversion {
    std::array<float, 9> matrix;
    std::array<float, 3> offset;
  };

  RemoteVideoRenderer();
  ~RemoteVideoRenderer();

  RemoteVideoRenderer(const RemoteVideoRenderer&) = delete;
  RemoteVideoRenderer& operator=(const RemoteVideoRenderer&) = delete;

  // The largest rectangle with the picture's aspect ratio inside `viewport`, centred; all zeros
  // when either size has a side of zero or less (or not a number).
  static QRectF fittedRect(QSizeF picture, QSizeF viewport);
  // The conversion for an AVColorSpace and range. A stream that signals no matrix gets BT.601,
  // which is what the host's capture converts with (libyuv's ARGBToNV12, limited range).
  static ColorConversion colorConversion(int colorSpace, bool fullRange);

  // Compiles the shader; false if this context cannot run it (then draw() only clears).
  bool initialize();
  // Clears the framebuffer of `framebuffer` pixels to black and draws `frame` (if any) fitted.
  void draw(const RemoteFrame* frame, QSize framebuffer);
  // Frees the GL objects.
  void release();

 private:
  // What a texture's storage was last made for: a picture of another size or layout needs new.
  struct Storage {
    QSize size;
    bool twoChannels = false;
    friend bool operator==(const Storage&, const Storage&) = default;
  };
  void upload(int unit, unsigned texture, Storage& allocated, const uint8_t* pixels, int stride,
              Storage wanted);

  std::unique_ptr<QOpenGLShaderProgram> program_;
  bool initialized_ = false;
  // Single- and two-channel texture formats: GL_R8/GL_RG8 where the context has them, else
  // GL_LUMINANCE/GL_LUMINANCE_ALPHA (OpenGL ES 2 without EXT_texture_rg).
  bool redGreenTextures_ = false;
  // GL_UNPACK_ROW_LENGTH (desktop GL, ES 3); without it padded rows go up one by one.
  bool rowLength_ = false;
  std::array<unsigned, 3> textures_{};
  std::array<Storage, 3> allocated_{};
};

}  // namespace veltra
