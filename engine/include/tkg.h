#pragma once
/*
 * Knowledge-graph store: flat functions over ".tkg" graph files.
 *
 * A .tkg file is one directed graph, little-endian and memory-mapped: a
 * 128-byte header in the first 4096-byte page, then 128-byte node records,
 * 32-byte edge records, an (always empty) embedding region and a string
 * table, each region starting at a multiple of 4096.
 *
 * Conventions of every function here:
 *  - A null handle or pointer is allowed and gives 0, -1 or NULL, never a
 *    crash; no function throws or logs.
 *  - Functions that can fail with a reason take a caller's buffer `err` and
 *    its size `err_len`; when `err` is given and `err_len` >= 1 the message
 *    is copied, cut to err_len - 1 bytes and followed by a zero byte.
 *  - Strings are zero-terminated byte strings (UTF-8 in practice).
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Vault import
 * ------------------------------------------------------------------------ */

/* Counters of one import; each is the low 32 bits of the importer's count. */
typedef struct tkg_import_stats {
    uint32_t files;            /* Markdown files read */
    uint32_t nodes;            /* nodes in the finished file */
    uint32_t edges;            /* edges created */
    uint32_t wiki_links;       /* [[...]] links with a non-empty target, attachments included */
    uint32_t markdown_links;   /* [text](note.md) links to a local note */
    uint32_t unresolved_links; /* links whose target names no note */
    uint32_t self_links;       /* links from a note to itself */
    uint32_t duplicate_stems;  /* notes whose name was already taken by an earlier note */
} tkg_import_stats;

/*
 * Builds a new graph file at `out_path` from every "*.md" file under
 * `vault_dir` (recursively): one node per note (title = file name without
 * extension, content = the first 400 bytes), one edge per distinct link
 * between two notes. The file is built beside `out_path` and renamed over it
 * only when complete, so a failed import leaves the previous file as it was,
 * and a handle open on the previous file keeps reading it unchanged.
 * Returns 0 and fills `stats` (may be null) on success; -1 with the reason on
 * failure ("null arg", "vault dir not found: <dir>", "no .md files under
 * <dir>", or a store message), leaving `stats` untouched.
 */
int32_t tkg_import_vault(const char* vault_dir, const char* out_path,
                         tkg_import_stats* stats, char* err, int32_t err_len);

/* ---------------------------------------------------------------------------
 * Graph handle: read-only queries over a finished file
 * ------------------------------------------------------------------------ */

typedef struct tkg_graph tkg_graph;

/*
 * Opens and validates a graph file and indexes its titles and incoming
 * edges. Returns null on failure with the reason ("null path", "open: ...",
 * "fstat: ...", "file smaller than header", "mmap: ...", "bad magic — not a
 * .tkg", "unsupported .tkg version", "header total_size != file size
 * (truncated?)", or one of the structural messages of a damaged file).
 */
tkg_graph* tkg_open(const char* path, char* err, int32_t err_len);

/* Unmaps, closes and frees. Must not overlap another call on the handle. */
void tkg_close(tkg_graph* g);

uint32_t tkg_node_count(const tkg_graph* g);
uint32_t tkg_edge_count(const tkg_graph* g);

/* The node's zero-terminated title inside the mapping, valid until
 * tkg_close; null for a null handle or id >= node count. */
const char* tkg_node_title(const tkg_graph* g, uint32_t id);

/*
 * The node whose title best matches `text`: the whole text as a title
 * (ASCII case ignored), else its longest word of 3+ bytes that is a whole
 * title, else the shortest title containing the text or one of those words.
 * -1 when nothing matches or an argument is null.
 */
int64_t tkg_find_by_title(tkg_graph* g, const char* text);

/*
 * Notes related to the match of `text`: nodes reached within k hops along
 * edges in either direction, nearest first and, at equal distance, those
 * with more outgoing links first. max 0 means no limit.
 *
 * tkg_related_titles writes their titles separated by "\n" (no trailing
 * separator) into buf, stopping at the first title that does not fit with
 * the terminating zero; returns how many titles were written, -1 for bad
 * arguments (size < 2) or no match.
 *
 * tkg_related_ids writes the match first, then the related ids (at most max
 * and at most capacity - 1 of them); returns the number written (>= 1), -1
 * for bad arguments or no match.
 */
int32_t tkg_related_titles(tkg_graph* g, const char* text, uint32_t k, uint32_t max,
                           char* buf, int32_t size);
int32_t tkg_related_ids(tkg_graph* g, const char* text, uint32_t k, uint32_t max,
                        uint32_t* ids, int32_t capacity);

/* The whole mapping and the table offsets, for readers that walk the node
 * and edge tables in place. Null or 0 for a null handle. */
const void* tkg_map_base(const tkg_graph* g);
uint64_t tkg_map_size(const tkg_graph* g);
uint64_t tkg_node_offset(const tkg_graph* g);
uint64_t tkg_edge_offset(const tkg_graph* g);

/* ---------------------------------------------------------------------------
 * Task store: tasks as nodes of their own graph file
 * ------------------------------------------------------------------------ */

/* One listed task: its node id and its task fields as stored. */
typedef struct tkg_task_row {
    uint64_t id;          /* the task node's id */
    uint32_t status;      /* 1 when created, then whatever the caller sets */
    uint32_t attempts;    /* one more per tkg_tasks_bump_attempt */
    int64_t last_run;     /* time given with the latest attempt; 0 before */
    uint64_t criteria_id; /* node id of the task's criteria node */
} tkg_task_row;

/* The task-store handle (a graph store opened for writing). */
typedef struct tkg_task_store tkg_task_store;

/*
 * Opens the task file, creating it when missing or empty (room for 4096
 * nodes, 8192 edges and 1 MiB of strings). An existing file that fails
 * validation is refused, never replaced. Null on failure with the reason.
 */
tkg_task_store* tkg_tasks_open(const char* path, char* err, int32_t err_len);

/*
 * Adds a task: a criteria node titled "criteria: <title>" holding the
 * verification command, the task node (status 1, no attempts) and an edge
 * from the task to its criteria. `time` is microseconds since 1970. Returns
 * the task node's id, or -1 with the reason ("null arg" or a store message);
 * a failed add leaves no part of the task behind.
 */
int64_t tkg_tasks_add(tkg_task_store* s, const char* title, const char* criteria,
                      int64_t time, char* err, int32_t err_len);

/* Stores the status and the time of the change; 0, or -1 when id is not a task. */
int32_t tkg_tasks_set_status(tkg_task_store* s, uint64_t id, uint32_t status, int64_t time);

/* Counts one more attempt made at `time`; 0, or -1 when id is not a task. */
int32_t tkg_tasks_bump_attempt(tkg_task_store* s, uint64_t id, int64_t time);

/* Writes up to `capacity` rows in creation order; returns how many. */
int32_t tkg_tasks_list(tkg_task_store* s, tkg_task_row* rows, int32_t capacity);

/*
 * Copies at most size - 1 bytes of node `id`'s title (any node) and a zero
 * byte; returns the bytes copied, or -1 (with buf[0] cleared when possible).
 */
int32_t tkg_task_title(tkg_task_store* s, uint64_t id, char* buf, int32_t size);

/* As tkg_task_title, for the verification command of task `task_id`. */
int32_t tkg_task_criteria_cmd(tkg_task_store* s, uint64_t task_id, char* buf, int32_t size);

uint32_t tkg_tasks_count(tkg_task_store* s);

/* Unmaps, closes and frees. Must not overlap another call on the handle. */
void tkg_tasks_close(tkg_task_store* s);

#ifdef __cplusplus
} /* extern "C" */
#endif
