/* settings.h: the runner's settings and limits, shared by the runner, its
 * resource script and the host tool. pack writes the settings into the
 * finished stub's string table, in numbers the stub never reads; the runner
 * reads them from the image of the stub that started it, so that the runner
 * itself is the same bytes in every package and can be signed once. */
#ifndef SELFEXTR_RUNNER_SETTINGS_H
#define SELFEXTR_RUNNER_SETTINGS_H

/* Buffers in UTF-16 units, terminator included: the command, the program's
 * name (its first word), the caption, shown in title bars, and the elevation. */
#define RUNNER_COMMAND_UNITS 8192
#define RUNNER_PROGRAM_UNITS 260
#define RUNNER_CAPTION_UNITS 64
#define RUNNER_ELEVATION_UNITS 32  /* the longer level, 20 units, with room */
#define RUNNER_PAYLOAD_NAME_UNITS 260

/* The settings, a row each: X(key, string id, units, required). key names
 * the setting in the runner's state, in pack's request, in list and in
 * --json; units is the runner's buffer, terminator included; a required
 * setting is in every package with a payload, any other only when it is
 * not empty. The runner reads each row, pack writes each, list shows each
 * and verify checks each against its units, so that a new setting is a row
 * here and the code that gives and takes its value.
 *   payload:   the payload's name, as list shows it. The payload itself is
 *              the stub's RCDATA RUNNER_PAYLOAD_ID, which the stub never
 *              writes: the runner reads it from the stub's image. (Packages
 *              of the earlier layout carried it as an entry of that name,
 *              which the stub wrote into the work folder; the tool still
 *              reads them.)
 *   command:   the command line started in the private folder.
 *   elevation: what the command's program's manifest asks for,
 *              "requireAdministrator" or "highestAvailable": the runner
 *              restarts itself elevated before it writes anything. */
#define RUNNER_SETTINGS(X) \
    X(payload, 3001, RUNNER_PAYLOAD_NAME_UNITS, 1) \
    X(command, 3002, RUNNER_COMMAND_UNITS, 1) \
    X(elevation, 3003, RUNNER_ELEVATION_UNITS, 0)
#ifndef RC_INVOKED
#define RUNNER_SETTING_ID(key, id, units, required) RUNNER_SETTING_##key = id,
enum RunnerSettingId { RUNNER_SETTINGS(RUNNER_SETTING_ID) };
#undef RUNNER_SETTING_ID
#endif
#define RUNNER_PAYLOAD_TYPE 10  /* RCDATA, language en-US */
#define RUNNER_PAYLOAD_ID 3
/* The caption is the stub's own string 100, in the user's language. */

/* The bare runner's marker, RCDATA RUNNER_MARKER_ID: the settings format it
 * reads, so that pack can tell a runner of this version (no terminator). */
#define RUNNER_MARKER_ID 1
#define RUNNER_SETTINGS_FORMAT "selfextr runner settings 1"

#endif
