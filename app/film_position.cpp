#include "film_position.h"

#include <climits>
#include <cstdint>
#include <cstdio>

namespace ulk::viewer {

int truncateToInt(double value)
{
    if (!(value > static_cast<double>(INT_MIN) - 1.0 &&
          value < static_cast<double>(INT_MAX) + 1.0))
        return 0;
    return static_cast<int>(value);
}

std::string filmPositionLine(double milliseconds)
{
    const std::uint32_t t =
        static_cast<std::uint32_t>(truncateToInt(milliseconds));
    char line[96];
    std::snprintf(line, sizeof line,
                  "==> film current position: %2.2u:%2.2u:%2.2u.%3.3u\n",
                  t / 3600000u, (t % 3600000u) / 60000u, (t % 60000u) / 1000u,
                  t % 1000u);
    return line;
}

} // namespace ulk::viewer
