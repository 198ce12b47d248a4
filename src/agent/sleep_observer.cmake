# Sleep observer: logind's PrepareForSleep through sd-bus.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
set(TESSARINE_SLEEP_SOURCES sleep_observer.cpp)
