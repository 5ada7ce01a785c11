// Linked into every extension module on Linux when the C++ runtime is linked
// statically (see CMakeLists.txt), so that the modules run on glibc 2.17 and later
// (the manylinux2014 wheel tag) even when it is built on a newer system.
//
// The static libstdc++ was compiled against the build machine's glibc, and
// the linker binds each of its references to the newest version of the
// symbol that this glibc has. After dropping unused sections (--gc-sections;
// it removes std::random_device's arc4random/getentropy) and keeping the
// unwinder in the shared libgcc_s (which would otherwise need
// _dl_find_object, glibc 2.35), three references remain newer than 2.17:
//
//  - __libc_single_threaded (glibc 2.32), a flag that libstdc++ reads to skip
//    atomic operations while the process has one thread. The definition
//    below, always 0, takes its place: the runtime then always uses atomic
//    reference counts, as it does on any glibc before 2.32.
//  - pthread_create and pthread_join, which glibc 2.34 moved from libpthread
//    into libc under a new version, keeping the old ones too (GLIBC_2.2.5 on
//    x86-64, GLIBC_2.17 on 64-bit ARM: RASTERLOOM_GLIBC_BASE_VERSION). The
//    linker option --wrap sends every reference to them to the __wrap_
//    functions below, which call the old versions. On glibc before 2.34
//    those live in libpthread, which the modules therefore also need. Only
//    _rasterloom_pool starts threads; the others have the same runtime and
//    so the same wrapping, in case a part of it that they use starts one.
//
// scripts/test.sh runs `auditwheel show` on the wheel: a newer symbol pulled
// in later by a change or a newer toolchain shows up there.
#include <pthread.h>

extern "C" {

__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

int rasterloom_old_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                  void* (*start)(void*), void* argument);
int rasterloom_old_pthread_join(pthread_t thread, void** result);
__asm__(".symver rasterloom_old_pthread_create, pthread_create@" RASTERLOOM_GLIBC_BASE_VERSION);
__asm__(".symver rasterloom_old_pthread_join, pthread_join@" RASTERLOOM_GLIBC_BASE_VERSION);

__attribute__((visibility("hidden"))) int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                                void* (*start)(void*), void* argument) {
    return rasterloom_old_pthread_create(thread, attributes, start, argument);
}

__attribute__((visibility("hidden"))) int __wrap_pthread_join(pthread_t thread, void** result) {
    return rasterloom_old_pthread_join(thread, result);
}

}  // extern "C"
