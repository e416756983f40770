/* The public header compiled as strict C, and every exported function
 * called once through the shared library. */
#include "vlsmb2s.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "c_api: FAILED %s (last error: %s)\n", what, vlsmb2s_last_error());
        failures++;
    }
}

int main(void)
{
    const char *dir = getenv("TMPDIR");
    const char *text;
    if (!dir || !*dir) dir = "/tmp";

    check(strcmp(vlsmb2s_version(), "1.0.0") == 0, "version");
    check(vlsmb2s_set_option("guest", "on") == 0, "set_option");
    check(vlsmb2s_set_option("no_such_key", "1") == -1, "set_option refuses an unknown key");
    check(strlen(vlsmb2s_last_error()) > 0, "last_error after a failure");
    check(vlsmb2s_add_share("capi", dir) == 0, "add_share");
    check(vlsmb2s_remove_share("capi") == 0, "remove_share");
    check(vlsmb2s_add_user("capi", "secret") == 0, "add_user");
    check(vlsmb2s_remove_user("capi") == 0, "remove_user");
    check(vlsmb2s_allow_cidr("192.0.2.0/24") == 0, "allow_cidr");
    check(vlsmb2s_session_count() == 0, "session_count");

    check(vlsmb2s_start(NULL, 0, NULL) == 0, "start");
    check(vlsmb2s_port() > 0, "port while running");
    check(vlsmb2s_client_count() == 0, "client_count");
    text = vlsmb2s_stats_json();
    check(text && strncmp(text, "{\"running\":true,\"port\":", 23) == 0, "stats_json while running");
    vlsmb2s_stop();
    check(vlsmb2s_port() == 0, "port after stop");

    text = vlsmb2s_simulate("", NULL);
    check(text && strcmp(text, "RESULT ok (0 frames)\n") == 0, "simulate");
    text = vlsmb2s_selftest();
    check(text && strcmp(text, "selftest ok\n") == 0, "selftest");

    if (failures) return 1;
    puts("c_api: all sixteen functions callable from C");
    return 0;
}
