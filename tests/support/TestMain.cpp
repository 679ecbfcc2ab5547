// The main of every test binary: enters a private mount namespace first, so
// that tests of the fixed paths never touch the host's.
#include <gmock/gmock.h>

void InitPrivateMounts();

int main(int argc, char** argv)
{
    InitPrivateMounts();
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
