# Sleep observer against a private dbus-daemon standing in for the system bus.
tessarine_test(sleep_observer_tests
  SOURCES sleep_observer_test.cpp ../support/dbus_daemon.cpp
  LIBS tessarine_agent
  LABELS dbus)
