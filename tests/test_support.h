// Helpers shared by the unit tests.
#pragma once

struct FatalExit {
    int code;
};
