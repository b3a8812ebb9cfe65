/* The talvenor control from C (and from anything that can call C: Python's ctypes, for one).
 *
 * A control is driven through its dispatch table: look a name up, invoke by DISPID with typed
 * arguments, get and put properties, receive events through a callback. A headless host runs the
 * control's 30 ms polling timer on the caller's thread whenever the caller pumps it.
 *
 *   tv_control* ctl; tv_host* host = tv_host_create();
 *   tv_create(&ctl); tv_host_attach(host, ctl);
 *   tv_variant name = {TV_STRING}; name.s = "R1";
 *   int32_t id; tv_get_dispid("connectRobot", &id); tv_invoke(ctl, id, &name, 1, NULL);
 *   tv_host_run_for(host, 1000);
 *
 * Status codes are those of automation dispatch (0 = success). Not thread-safe: use a control, and
 * the host it is attached to, from one thread. */
#ifndef TALVENORCTL_H
#define TALVENORCTL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_EMPTY 0
#define TV_SHORT 2
#define TV_LONG 3
#define TV_STRING 8
#define TV_BOOL 11
#define TV_ADDRESS 37 /* pointer-sized address of memory the control owns: read-only */
#define TV_BUFFER 65  /* a caller's writable buffer: data and size */

#define TV_OK 0
#define TV_E_MEMBERNOTFOUND ((int32_t)0x80020003u)
#define TV_E_TYPEMISMATCH ((int32_t)0x80020005u)
#define TV_E_UNKNOWNNAME ((int32_t)0x80020006u)
#define TV_E_OVERFLOW ((int32_t)0x8002000Au)
#define TV_E_BADPARAMCOUNT ((int32_t)0x8002000Eu)
#define TV_E_INVALIDARG ((int32_t)0x80070057u)
#define TV_E_CLASSNOTREG ((int32_t)0x80040154u)
/* The registered server is another copy of the library than the one the caller loaded: its
 * controls would paint into that copy's picture memory, not the one tv_image returns. */
#define TV_E_CLASSNOTAVAILABLE ((int32_t)0x80040111u)
#define TV_S_FALSE 1
#define SELFREG_E_TYPELIB ((int32_t)0x80040200u)
#define SELFREG_E_CLASS ((int32_t)0x80040201u)

#define TV_KIND_METHOD 1
#define TV_KIND_PROPERTY 2
#define TV_KIND_EVENT 3

typedef struct tv_variant {
  int32_t type; /* TV_* */
  int32_t reserved;
  int64_t i;     /* TV_SHORT, TV_LONG, TV_BOOL (0/1), TV_ADDRESS */
  const char* s; /* TV_STRING; in results valid until the next call on the same control */
  void* data;    /* TV_BUFFER */
  size_t size;   /* TV_BUFFER */
} tv_variant;

#define TV_MAX_PARAMS 7

/* What a member does (flags), for front ends that treat members differently: */
#define TV_MEMBER_NEEDS_ROBOT 1       /* does nothing useful before connectRobot */
#define TV_MEMBER_READS_FILE 2        /* a parameter names a file that is read */
#define TV_MEMBER_WRITES_FILE 4       /* a parameter names a file the control writes */
#define TV_MEMBER_HANDS_OUT_ADDRESS 8 /* returns an address of the control's memory */
#define TV_MEMBER_FILLS_BUFFER 16     /* writes into a caller's buffer */
#define TV_MEMBER_READ_ONLY 32        /* a property that cannot be written */

/* What a parameter carries (roles); each comes with the range the robot takes and a meaning: */
#define TV_ROLE_VALUE 0
#define TV_ROLE_MOTOR_CHANNEL 1
#define TV_ROLE_SERVO_CHANNEL 2
#define TV_ROLE_READ_CHANNEL 3 /* a channel of a getter's family */
#define TV_ROLE_BYTE 4
#define TV_ROLE_FILE_TO_READ 5
#define TV_ROLE_FILE_TO_WRITE 6
#define TV_ROLE_BUFFER 7
#define TV_ROLE_FILE_FOR_RELAY 8 /* the relay opens the path itself */
#define TV_ROLE_ROBOT_NAME 9

typedef struct tv_member_info {
  int32_t kind; /* TV_KIND_* */
  int32_t dispid;
  const char* name;
  int32_t type; /* result of a method, type of a property */
  int32_t param_count;
  const char* param_names[TV_MAX_PARAMS];
  int32_t param_types[TV_MAX_PARAMS];
  const char* help;
  const char* implementation; /* aliases share one */
  uint32_t flags;             /* TV_MEMBER_* */
  int32_t param_roles[TV_MAX_PARAMS];
  int32_t param_min[TV_MAX_PARAMS]; /* the values the robot takes */
  int32_t param_max[TV_MAX_PARAMS];
  const char* param_meanings[TV_MAX_PARAMS];
  int32_t field;   /* a getter: the index (tv_sensor_field_at) of the field it returns, for a channel
                      getter that of its lowest channel; -1 for other members */
  int32_t section; /* an event: the section whose record it hands out (TV_SECTION_*); -1 for others */
} tv_member_info;

/* The sections of a robot that hand out records, in the order of their events. The three sensor
 * records are numbered as their sections. */
#define TV_SECTION_STANDARD 0
#define TV_SECTION_MOTOR 1
#define TV_SECTION_CUSTOM 2
#define TV_SECTION_IMAGE 3
#define TV_SECTION_AUDIO 4

/* The sensor records and their fields, as the robot lays them out. */
#define TV_RECORD_STANDARD 0
#define TV_RECORD_MOTOR 1
#define TV_RECORD_CUSTOM 2
#define TV_FIELD_BYTE 0     /* a byte, 0..255 */
#define TV_FIELD_WORD 1     /* a signed 16-bit word, low byte first */
#define TV_FIELD_ALIAS 2    /* a second name of the field `of` */
#define TV_FIELD_LOW_BYTE 3 /* the low byte of the word field `of` */
#define TV_FIELD_DIRECTION                                                    \
  4 /* 0 while the speed word `of` is 0, else 1 when bit `bit` of the byte at \
       `offset` is set, -1 when clear */
typedef struct tv_sensor_field {
  int32_t record; /* TV_RECORD_* */
  int32_t kind;   /* TV_FIELD_* */
  int32_t offset; /* from the record's first byte */
  int32_t bit;
  const char* name;   /* as readings carry it: "sonar1" */
  const char* getter; /* the control's method that returns it, "" for none */
  const char* of;     /* the field a view reads, "" for a field of its own */
} tv_sensor_field;
int32_t tv_sensor_field_count(void);
int32_t tv_sensor_field_at(int32_t index, tv_sensor_field* out);
/* "standard", "motor", "custom" ("" for another number), and the bytes the robot sends of it. */
const char* tv_sensor_record_name(int32_t record);
int32_t tv_sensor_record_size(int32_t record);

typedef struct tv_control tv_control;
typedef struct tv_host tv_host;
typedef void (*tv_event_callback)(void* user, int32_t dispid, const char* name);
typedef void (*tv_message_callback)(void* user, const char* text);

/* The table. */
int32_t tv_member_count(void);
int32_t tv_member_at(int32_t index, tv_member_info* out);
int32_t tv_get_dispid(const char* name, int32_t* dispid); /* methods and properties; case-insensitive */
int32_t tv_get_event_dispid(const char* name, int32_t* dispid);
const char* tv_status_text(int32_t status);
const char* tv_type_library(void); /* the type library text */
/* The size in bytes, as this library was built, of the structure of this header named `name`
 * ("tv_variant", "tv_member_info", "tv_sensor_field", "tv_event", "tv_guid", "tv_property_page",
 * "tv_class_factory"); 0 for another name or NULL. For callers that copy the structures instead of
 * compiling this header (ctypes, other languages): a copy of another size than the library's is of
 * another build, and the library would read or write past it. */
size_t tv_struct_size(const char* name);

/* Controls. */
int32_t tv_create(tv_control** out);
/* Creates a control through the registry (the system's on Windows, the per-user file elsewhere): a
 * ProgID or a class identifier in braces. */
int32_t tv_create_from_registry(const char* progid_or_clsid, tv_control** out);
void tv_destroy(tv_control* control);
int32_t tv_invoke(tv_control* control, int32_t dispid, const tv_variant* args, int32_t argc,
                  tv_variant* result);
int32_t tv_get_property(tv_control* control, int32_t dispid, tv_variant* value);
int32_t tv_put_property(tv_control* control, int32_t dispid, const tv_variant* value);
void tv_set_event_callback(tv_control* control, tv_event_callback callback, void* user);
/* Events taken by the caller instead of a callback, for callers whose own code must not run inside
 * the library (an interpreter whose Ctrl-C must reach its own code, not a callback that swallows
 * it). Once queued (replacing any callback), each event is kept with a copy of what came with it:
 * the sensor record's bytes, the picture (76032 bytes R G B), the voice segment; and the moment it
 * was taken from its section, in seconds of the machine's monotonic clock (CLOCK_MONOTONIC, as
 * Python's time.monotonic). At most TV_EVENT_QUEUE_MAX are kept: beyond that the oldest is dropped
 * and counted. */
#define TV_EVENT_QUEUE_MAX 256
typedef struct tv_event {
  int32_t dispid;
  const uint8_t* data; /* valid until the next tv_next_event or tv_queue_events on this control */
  size_t size;
  double taken_at;
} tv_event;
void tv_queue_events(tv_control* control, int32_t enabled);
/* Takes the oldest kept event: 1 when there was one, 0 when none is kept. */
int32_t tv_next_event(tv_control* control, tv_event* out);
uint64_t tv_events_dropped(tv_control* control);
/* Makes an event taken with tv_next_event the control's latest record of its kind (sensor records and
 * the voice segment), so that getters called while the event is handled read what came with it. */
void tv_use_event(tv_control* control, const tv_event* event);
int32_t tv_modified(tv_control* control);
/* Why the last connectRobot failed (a name that cannot name the sections, sections of another user,
 * ...), or "" when it succeeded. Valid until the next call on the same control. */
const char* tv_last_error(tv_control* control);
/* What the control can tell of the relay of its robot name: */
#define TV_RELAY_NONE 0           /* no relay serves the name (or connectRobot was not called) */
#define TV_RELAY_NOT_FORWARDING 1 /* a relay serves it, but its link is being made */
#define TV_RELAY_FORWARDING 2     /* the relay's link is open; the robot has not answered yet */
#define TV_RELAY_LINK_UP 3        /* the robot answers the relay */
int32_t tv_relay_state(tv_control* control);
/* The name of a TV_RELAY_* state, as every front end says it: "no-relay", "down", "not-answering",
 * "up" ("no-relay" for another number). */
const char* tv_relay_state_name(int32_t state);
/* The user id owning the robot's sections (-1 before connectRobot, and on Windows, whose sections are
 * their user's alone): not the caller's when a relay of another user (a service) made them, which
 * sees neither the caller's /tmp nor its home. */
int64_t tv_section_owner(tv_control* control);
/* The latest sensor record the control took (TV_RECORD_*); its bytes in place (read
 * them before the next pump) and their number. NULL and 0 before the first record. */
const uint8_t* tv_record(tv_control* control, int32_t which, size_t* size);
/* Records of a section (TV_SECTION_*) that the relay
 * overwrote before a tick of the control took them, since connectRobot. */
uint64_t tv_lapped(tv_control* control, int32_t which);
/* Commands that could not be put into the command section since connectRobot (the relay did not read
 * for a second while the ring was full): they never reach the robot. */
uint64_t tv_commands_not_stored(tv_control* control);
/* Read-only views of the picture (76032 bytes R G B), the luminance area (50000 bytes, the last
 * frame's 176 x 144 grey plane at its start) and the latest voice segment (as far as it lies in
 * the section). */
const uint8_t* tv_image(tv_control* control, size_t* size);
const uint8_t* tv_luma(tv_control* control, size_t* size);
const uint8_t* tv_voice(tv_control* control, size_t* size);

/* Whether a file would do for the method that takes it, checked with this process's rights before
 * the call: a sound for PlayAudioFile (a 16-bit mono PCM WAV file with samples), an LCD picture for
 * LcdDisplayVCS and LcdDisplayVCB (a readable 128 x 64 monochrome BMP file). 0 when it would; else 1
 * and why in `reason` (cut to fit `size`, terminated). The relay checks a sound again with its own
 * rights when it plays it. */
int32_t tv_check_sound_file(const char* path, char* reason, size_t size);
int32_t tv_check_lcd_file(const char* path, char* reason, size_t size);

/* Stops the robot: PWM 0 and velocity 0 on every DC motor channel, then every DC motor and servo
 * disabled (14 commands). */
void tv_stop_motors(tv_control* control);
/* Waits at most `timeout_ms` (scaled) for a record in any of the robot's rings, then takes every
 * record that arrived, firing each one's event (or queueing it) on the calling thread; returns how
 * many (0 when the time passed, or a signal came, with none). For programs without a host. */
int32_t tv_wait(tv_control* control, uint32_t timeout_ms);

/* The robot names relays serve on this machine, one per line, sorted, into `buffer` (cut to fit
 * `size`, always terminated); returns how many there are. For a client that finds no relay under
 * the name it was given (names are case-sensitive, at most 29 bytes). */
int32_t tv_served_robots(char* buffer, size_t size);

/* The headless host. */
tv_host* tv_host_create(void);
void tv_host_destroy(tv_host* host); /* detaches its controls */
void tv_host_attach(tv_host* host, tv_control* control);
void tv_host_detach(tv_control* control);
int32_t tv_host_process_due(tv_host* host);       /* runs due timers; returns how many */
int64_t tv_host_ms_until_due(tv_host* host);      /* -1 when no timer runs */
void tv_host_run_for(tv_host* host, uint32_t ms); /* scaled milliseconds */
/* A host waits on the doorbells of its controls' rings and takes every record as it arrives (the
 * default), or, ticking, takes one record per section every 30 ms as the windowed controls do. */
void tv_host_set_ticking(tv_host* host, int32_t ticking);
/* Waits at most `ms` (scaled) for a record or a due timer, then takes what came and runs what is
 * due; returns how many records were taken and timers run, -1 when a signal (Ctrl-C) ended it. */
int32_t tv_host_wait(tv_host* host, uint32_t ms);
/* The wait split for another event loop: tv_host_arm reads the doorbells of the host's controls
 * (NULL when records are there already: call tv_host_process_due); tv_doorbells_wait waits on them,
 * on any thread, at most `ms` (tv_host_ms_until_look: the next timer, or the quiet look), returning 1
 * when one rang, 0 when the time passed; then tv_host_process_due on the host's thread takes what
 * came, and tv_host_note_wait tells the host how the wait ended and what that took: a host that has
 * heard a ring looks once a second while all is quiet, one whose producer does not ring looks at
 * every tick. Free each armed set once. */
typedef struct tv_doorbells tv_doorbells;
tv_doorbells* tv_host_arm(tv_host* host);
int32_t tv_doorbells_wait(tv_doorbells* bells, uint32_t ms);
void tv_doorbells_free(tv_doorbells* bells);
int64_t tv_host_ms_until_look(tv_host* host); /* -1 when no timer runs */
void tv_host_note_wait(tv_host* host, int32_t rang, int32_t done);
/* Messages kept for the caller instead of handed to a callback (as events, above): once queued, each
 * message of the host's controls waits for tv_host_next_message (at most TV_EVENT_QUEUE_MAX; the
 * oldest is dropped beyond that). */
void tv_host_queue_messages(tv_host* host, int32_t enabled);
/* Takes the oldest kept message into *text (valid until the next call on this host): 1 when there
 * was one, 0 when none is kept. */
int32_t tv_host_next_message(tv_host* host, const char** text);
void tv_host_set_message_callback(tv_host* host, tv_message_callback callback, void* user);

/* Class identifiers and the class factories the library hands out. Its four self-registration
 * entry points are, on Windows, COM's own (DllRegisterServer and the rest, declared by the system's
 * headers; regsvr32 calls them); elsewhere they are declared in talvenorctl_server.h, which the
 * development package installs beside this header. */
typedef struct tv_guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} tv_guid;
typedef struct tv_class_factory tv_class_factory;
struct tv_class_factory {
  /* For the control's class: *out is a tv_control*. For the property page's class: *out is a
   * const tv_property_page*. */
  int32_t (*create_instance)(tv_class_factory* self, void** out);
  int32_t (*lock_server)(tv_class_factory* self, int32_t lock);
};
typedef struct tv_property_page {
  const char* caption; /* "General" */
  int32_t width_dlu, height_dlu;
  const char* text; /* its one static text */
  const char* help_caption;
  const char* help_file;
  int32_t help_context;
} tv_property_page;
int32_t tv_parse_guid(const char* text, tv_guid* out);
/* Where the registry file is: $TALVENOR_REGISTRY, else $XDG_DATA_HOME/talvenor/registry, else
 * ~/.local/share/talvenor/registry. On Windows "HKEY_CLASSES_ROOT", the system registry. */
const char* tv_registry_path(void);

#ifdef __cplusplus
}
#endif

#endif /* TALVENORCTL_H */
