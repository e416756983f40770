/* vlsmb2s: a small read-only SMB2 (2.0.2 / 2.1) file server as a library.
 *
 * Conventions:
 *  - Every text argument and result is a zero-terminated byte text (UTF-8).
 *  - Functions that can fail return 0 on success and a negative code on
 *    failure (-1 bad argument, -2 not found, -3 exists or reserved,
 *    -4 already running, -5 system failure, -6 table full), or null for
 *    text results; vlsmb2s_last_error() then holds a message for a person.
 *  - Text results are owned by the library. vlsmb2s_simulate, _stats_json
 *    and _selftest share one result slot per calling thread: a result stays
 *    valid until the same thread's next call of any of the three.
 *  - Configuration calls may be made at any time, also while serving.
 */
#ifndef VLSMB2S_H
#define VLSMB2S_H

#if defined(VLSMB2S_BUILDING)
#define VLSMB2S_API __attribute__((visibility("default")))
#else
#define VLSMB2S_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

VLSMB2S_API int vlsmb2s_set_option(const char *key, const char *value);
VLSMB2S_API int vlsmb2s_add_share(const char *name, const char *path);
VLSMB2S_API int vlsmb2s_remove_share(const char *name);
VLSMB2S_API int vlsmb2s_add_user(const char *user, const char *password);
VLSMB2S_API int vlsmb2s_remove_user(const char *user);
VLSMB2S_API int vlsmb2s_allow_cidr(const char *cidr);

/* bind may be null ("127.0.0.1"); port 0 lets the system choose;
 * server_name may be null (keeps the server_name option). */
VLSMB2S_API int vlsmb2s_start(const char *bind, int port, const char *server_name);
VLSMB2S_API void vlsmb2s_stop(void);
VLSMB2S_API int vlsmb2s_port(void);
VLSMB2S_API int vlsmb2s_client_count(void);

/* Replays a hex script through one connection without any network.
 * client_ip may be null ("127.0.0.1"). */
VLSMB2S_API const char *vlsmb2s_simulate(const char *script, const char *client_ip);

VLSMB2S_API const char *vlsmb2s_version(void);
/* The last failure's message, as a copy that stays whole and unchanged until
 * the calling thread asks again. */
VLSMB2S_API const char *vlsmb2s_last_error(void);
VLSMB2S_API int vlsmb2s_session_count(void);
VLSMB2S_API const char *vlsmb2s_stats_json(void);
VLSMB2S_API const char *vlsmb2s_selftest(void);

#ifdef __cplusplus
}
#endif

#endif
