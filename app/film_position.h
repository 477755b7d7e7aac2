// The film position as the program prints it for every frame, from the
// capture's position property.
#ifndef OF_ULK_FILM_POSITION_H
#define OF_ULK_FILM_POSITION_H

#include <string>

namespace ulk::viewer {

// Truncates a capture property toward zero; values an int cannot hold (and
// NaN) give 0.
int truncateToInt(double value);

// The per-frame position line for a film position in milliseconds, which
// is truncated to an integer and read as an unsigned 32-bit count.
std::string filmPositionLine(double milliseconds);

} // namespace ulk::viewer

#endif
