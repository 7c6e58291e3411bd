/*
 * config_store.c - the key=value configuration store: parse a file, read
 * and change keys, find the keys that a re-read of the file changed, and
 * write the store back out.
 *
 * What to notice:
 *  - A line counts when it starts with a letter and holds '=': comments,
 *    blank lines and indented lines are skipped, and quotes and blanks
 *    around key and value are trimmed.
 *  - The store is an object: its slots (get, set, find) are called with the
 *    store itself as the first argument.
 *  - set answers 1 when it created the key or changed its value, 0 when the
 *    value was already the same.
 *  - Parsing the file again into the same store marks each key whose value
 *    differs from before; configure_key_IsChanged and the entry's `changed`
 *    field tell which, so a process re-applies only what changed.  A key
 *    stored for the first time is not marked, and a key the file no longer
 *    holds keeps the mark of its last set (nothing is ever removed).
 *  - There is no save call: loop() with loop_2_conf writes one line
 *    key = "value" per key, in the order the keys were first stored.
 *
 * It works in a temporary folder of its own and removes it at the end.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: mkdtemp */

#include <lib_common/lib_common.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char first_version[] = "# camera settings\n"
                                    "name = \"Camera 1\"\n"
                                    "resolution = 1920x1080\n"
                                    "bitrate = 4096\n"
                                    "osd_text = \"Lobby entrance\"\n"
                                    "\n"
                                    "  indented = skipped, it starts with a blank\n"
                                    "1st = skipped, it starts with a digit\n"
                                    "ntp_server=pool.ntp.org\n";

/* The same file after another program edited it. */
static const char second_version[] = "name = \"Camera 1\"\n"
                                     "resolution = 1920x1080\n"
                                     "bitrate = 6000\n"
                                     "osd_text = \"Lobby, north door\"\n"
                                     "ntp_server = pool.ntp.org\n";

/* Replaces the file at path by text; 0, or -1 when it cannot be written. */
static int write_text(const char *path, const char *text)
{
    FILE *f = fopen(path, "w");
    if (f == NULL)
        return -1;
    int rc = fputs(text, f) < 0 ? -1 : 0;
    if (fclose(f) != 0)
        rc = -1;
    return rc;
}

/* Prints a file, each line indented. */
static void print_file(const char *path)
{
    char line[512];
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return;
    while (fgets(line, sizeof line, f) != NULL)
        printf("  | %s", line);
    fclose(f);
}

/* A loop() callback: it has the callback's exact type, and it must not use
   the store (loop holds the store's lock while it runs). */
static int32_t print_entry(void *arg, const char *key, const char *value)
{
    printf("%s%s = %s\n", (const char *)arg, key, value);
    return 0;
}

/* The steps on a store of a file in dir; 0 on success. */
static int run(configure_store *cfg, const char *dir)
{
    char path[256], saved[256];
    snprintf(path, sizeof path, "%s/camera.conf", dir);
    snprintf(saved, sizeof saved, "%s/camera.conf.new", dir);
    if (write_text(path, first_version) != 0)
        return -1;

    /* -1 only when the file cannot be opened; bad lines are just skipped. */
    if (configure_parse(cfg, NULL, path) != 0)
        return -1;
    printf("parsed %u keys:\n", (unsigned)cfg->count);
    loop(cfg, print_entry, "  "); /* arg: the indent to print */

    /* get copies the value out; the buffer must hold it and its NUL. */
    char value[64], tiny[4];
    if (cfg->get(cfg, "name", value, sizeof value) == 0)
        printf("get name: \"%s\"\n", value);
    printf("get name into 4 bytes: %d, \"%s\"\n", (int)cfg->get(cfg, "name", tiny, sizeof tiny), tiny);
    printf("get missing_key: %d\n", (int)cfg->get(cfg, "missing_key", value, sizeof value));

    /* Changes made by the process itself, say from its web page. */
    printf("set bitrate = 8192: %d\n", (int)cfg->set(cfg, "bitrate", "8192"));
    printf("set name = Camera 1 (unchanged): %d\n", (int)cfg->set(cfg, "name", "Camera 1"));
    printf("set audio = on (new key): %d\n", (int)cfg->set(cfg, "audio", "on"));

    /* Another program rewrote the file; reading it into the same store
       marks the keys whose value differs from what the store held. */
    if (write_text(path, second_version) != 0 || configure_parse(cfg, NULL, path) != 0)
        return -1;
    static const char *const watched[] = {"resolution", "bitrate", "osd_text", "name", "audio"};
    const uint8_t n = (uint8_t)(sizeof watched / sizeof watched[0]);
    config_key *filter = config_keys_format(watched, n);
    if (filter == NULL)
        return -1;
    /* The first changed key in store order, as its index in the filter. */
    int32_t first = configure_key_IsChanged(cfg, filter);
    printf("first changed watched key: %s\n", first >= 0 ? watched[first] : "none");
    free(filter); /* the caller's; the key texts stay the caller's too */
    /* find takes no lock: fine while no other thread sets values. */
    for (uint8_t i = 0; i < n; i++) {
        const configure_entry *e = cfg->find(cfg, watched[i]);
        printf("  %-10s %s\n", watched[i], e == NULL ? "missing" : e->changed ? "changed" : "unchanged");
    }

    /* Written next to the file and renamed over it, so a reader sees
       either the old file or the whole new one. */
    FILE *out = fopen(saved, "w");
    if (out == NULL)
        return -1;
    loop(cfg, loop_2_conf, out);
    if (fclose(out) != 0 || rename(saved, path) != 0)
        return -1;
    printf("written back:\n");
    print_file(path);
    return 0;
}

int main(void)
{
    char dir[] = "/tmp/lc_config_store_XXXXXX";
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return EXIT_FAILURE;
    }
    configure_store *cfg = configure_init();
    int rc = cfg != NULL ? run(cfg, dir) : -1;
    configure_free(cfg);
    /* Whatever happened, nothing is left behind. */
    char path[256];
    snprintf(path, sizeof path, "%s/camera.conf.new", dir);
    remove(path);
    snprintf(path, sizeof path, "%s/camera.conf", dir);
    remove(path);
    if (rmdir(dir) != 0) {
        perror("rmdir");
        rc = -1;
    }
    if (rc != 0)
        fprintf(stderr, "config_store: failed\n");
    return rc == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
