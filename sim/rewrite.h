#pragma once

#include <QString>

// "00042 CZPositionOnSphere(x(10),y(20),z(30),5)" -> "00042 GoTo(X(10),Y(20),Z(30))":
// the text from the first lower-case 'x' up to the last ',' becomes the
// GoTo's arguments, with the first 'x', 'y' and 'z' upper-cased. A line
// without such a part comes back unchanged.
QString RewriteCZPositionOnSphere(const QString &line);
