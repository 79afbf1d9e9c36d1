include(GoogleTest)

# Every test runs under Wine. A crash under Wine can exit 0, so the output is
# checked for Wine's crash banner as well. Listing a test program's tests
# starts it under Wine when ctest starts; on a loaded machine that can take
# well over a minute, and a listing that times out fails the whole run.
set(WINE_CRASH_REGEX "wine: Unhandled|wine: Assertion|terminate called")
# Every test runs in a time zone with daylight saving, as users' machines do:
# a missing or doubled conversion between local time and UTC shows.
set(TEST_TIME_ZONE "TZ=Europe/Berlin")

function(add_wine_gtest target)
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
    PROPERTIES TIMEOUT 120 FAIL_REGULAR_EXPRESSION "${WINE_CRASH_REGEX}" ENVIRONMENT "${TEST_TIME_ZONE}" ${ARGN})
endfunction()
