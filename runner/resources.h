/* resources.h: what selfextr pack writes into the runner's own resources, and
 * the runner's progress window (the same numbers as the stub's). */
#ifndef SELFEXTR_RUNNER_RESOURCES_H
#define SELFEXTR_RUNNER_RESOURCES_H

#define RUNNER_STRING_COMMAND 1  /* the command line started in the private folder */
#define RUNNER_STRING_PAYLOAD 2  /* the payload entry's name in the work folder */
#define RUNNER_STRING_CAPTION 3  /* the package's caption, the stub's string 100 */

#endif
