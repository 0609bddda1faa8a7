// teldrin's socket-library lifetime in its own DLL, loaded and unloaded as
// the interpreter loads the teldrin module: loading starts Windows Sockets,
// unloading releases them, as often as it happens.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

namespace {

// 0 if a socket can be made now, else Winsock's error.
int socket_error()
{
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    closesocket(s);
    return 0;
}

}  // namespace

TEST(SocketLibraryLifetime, LoadingStartsWinsockAndUnloadingReleasesIt)
{
    ASSERT_EQ(socket_error(), WSANOTINITIALISED) << "nothing in this program starts Winsock itself";
    for (int round = 0; round < 2; ++round) {
        HMODULE library = LoadLibraryA(ORVIX_SOCKET_LIBRARY_DLL);
        ASSERT_NE(library, nullptr) << "cannot load " ORVIX_SOCKET_LIBRARY_DLL ": error " << GetLastError();
        EXPECT_EQ(socket_error(), 0) << "round " << round;
        ASSERT_TRUE(FreeLibrary(library));
        EXPECT_EQ(socket_error(), WSANOTINITIALISED) << "round " << round;
    }
}
