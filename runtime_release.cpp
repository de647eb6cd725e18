// The C++ runtime is linked into the library. It sets aside an emergency pool
// for exceptions when it starts and never gives it back, so a host that loads
// and unloads the library would lose that memory each time. The runtime's own
// release function returns it when the library is unloaded.
//
// Compiled only into the Linux library with its private runtime: with a
// shared runtime, the pool belongs to the whole process.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

__attribute__((destructor)) void releaseRuntimePools()
{
    __gnu_cxx::__freeres();
}

}  // namespace
