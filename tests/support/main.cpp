// Entry point of every test program: a single-threaded apartment, as in the sidebar host.
#include <windows.h>
#include <objbase.h>

#include <gmock/gmock.h>

int main(int argc, char** argv)
{
    // Windows' error boxes would stop an unattended run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    testing::InitGoogleMock(&argc, argv);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
