// bricola-screenshot OUTPUT.png: grabs the screen of the X display named by
// DISPLAY, cuts it to what is drawn on the black background (the windows) and
// writes it as a PNG. Used by scripts/screenshot.sh under Xvfb.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bricola-screenshot OUTPUT.png\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QScreen* schermo = QGuiApplication::primaryScreen();
  if (schermo == nullptr) return 1;
  const QImage immagine = schermo->grabWindow(0).toImage();
  int x0 = immagine.width(), y0 = immagine.height(), x1 = -1, y1 = -1;
  for (int y = 0; y < immagine.height(); ++y) {
    for (int x = 0; x < immagine.width(); ++x) {
      if ((immagine.pixel(x, y) & 0xFFFFFF) != 0) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
      }
    }
  }
  if (x1 < 0) {
    std::fprintf(stderr, "bricola-screenshot: nothing on the screen\n");
    return 1;
  }
  return immagine.copy(x0, y0, x1 - x0 + 1, y1 - y0 + 1).save(argv[1], "PNG") ? 0 : 1;
}
