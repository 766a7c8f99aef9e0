// The arithmetic of the progress bar: which columns are green, which white, and
// where the percentage goes. Free of window-system calls so tests can check it.
#pragma once

namespace kistwerk {

// Column ranges are inclusive; a range with left > right is empty. Rows 1 to
// height - 2 lie inside the one-pixel frame.
struct BarLayout {
    int fill = 0;
    int greenLeft = 1, greenRight = 0;
    int whiteLeft = 1, whiteRight = 0;
    int textX = 0;   // the text's horizontal centre
    int textY = 2;   // the text's top
};

inline BarLayout barLayout(int percent, int width)
{
    BarLayout b;
    b.fill = percent * (width - 1) / 100;
    if (percent != 0) {
        b.greenLeft = 1;
        b.greenRight = b.fill - 1;
    }
    b.whiteLeft = b.fill < 1 ? 1 : b.fill;
    b.whiteRight = width - 2;
    b.textX = width / 2;
    return b;
}

} // namespace kistwerk
