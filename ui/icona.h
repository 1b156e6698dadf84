// The program's icon, drawn the same as packaging/bricola.svg.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace bricola {

QPixmap DisegnaIcona(int lato);
QIcon IconaBricola();

}  // namespace bricola
