"""Scenario text and the model: the steps of a campaign scenario are ordinary
scenario commands; the model reads them and writes the expectations.

Every `wait until idle` is a checkpoint: the add-in has settled, and the
lines after it say what each synchronised folder holds. A scenario written
here can be read back (its `expect` lines are dropped and made again), so
that a shrunk scenario gets the expectations of its own steps.
"""

import shlex
from dataclasses import replace

from model import RULES, Content, Job, World

# Error lines the add-in writes in normal work: an Exchange folder that
# starts without a synchronisation state says so once.
EXPLAINED_ERRORS = ("RESET...",)
# A personal-folders master item that the user deletes while a pass of its
# folder runs is listed but no longer found: the pass tries once more, then
# logs the item as not found and counts it as the pass's error (the folder
# time stays, and the deletion's search follows it). Whether the deletion
# meets a pass is timing alone, so after such a deletion these lines may
# stand, and only these.
RACING_DELETION_ERRORS = ("PSTprocessItemInMasterFolder::NO MasterMSG FROM ID", "checkIfSomethingChanged::errors>0")
# A Reload stops the folder workers: a pass it meets halfway logs that its
# thread stops (a master's or a default folder's item) and counts it as the
# pass's error. A pass starts on its timer too, so whether the Reload meets
# one is timing alone.
STOPPED_PASS_ERRORS = ("::ThreadStop", "checkIfSomethingChanged::errors>0")

# A folder whose sync state the server forgot is refused until it starts
# from nothing (the sixth refusal in a row), each refusal logged; how many
# fall before the end of the scenario, or after a restart that counts them
# from 0 again, is timing alone.
EXPIRED_STATE_ERRORS = ("RCI::syncdata fehlerhaft", "no syncinterface", "RCI:It's something else???",
                        "RCI:Recovering from SyncDataError")
# In a mailbox in cached mode, an item not uploaded yet has no source key:
# a folder opened meanwhile logs it once while it fills its key maps (the
# item enters them when the run meets it). Whether a folder opens before
# an upload is timing alone.
CACHED_UPLOAD_ERRORS = ("FILLFOLDERCACHE::nosourcekey", "FillFolderCache.no Ids")


def tokens(line):
    """The words of a line as the scenario language splits them: quotes
    group, an unquoted word with '=' is an option."""
    lexer = shlex.shlex(line, posix=True)
    lexer.whitespace_split = True
    lexer.commenters = "#"
    words, opts = [], {}
    for tok in lexer:
        key, eq, value = tok.partition("=")
        if eq and key and '"' not in key:
            opts[key] = value
        else:
            words.append(tok)
    return words, opts


class ScriptError(Exception):
    """A step that the model cannot follow (a name or folder that is gone)."""


class Script:
    def __init__(self):
        self.world = World()
        self.stores = {}        # store name -> (kind, default)
        self.default_store_name = ""
        self.lines = []
        self.writes_cleared = False   # `calls clear` since the last user step
        self.failures_since_start = False
        self.master_deletions_since_start = False
        self.reloads_since_start = False
        self.cached_store = False
        self.expired_state = False
        self.job_lines = []

    # ----- reading -----

    def apply(self, line):
        """Follows one command in the model; returns the lines to write."""
        text = line.strip()
        if text.startswith("# rules:"):
            # The mended rules the scenario was made for (the model's RULES).
            self.world.rules = {r for r in text.split(":", 1)[1].replace(",", " ").split() if r in RULES}
        if not text or text.startswith("#"):
            self.lines.append(line)
            return [line]
        words, opts = tokens(text)
        verb = words[0]
        w = self.world
        out = [line]
        if verb == "expect":
            return []
        if verb == "store":
            self.stores[words[1]] = (opts.get("kind", "pst"), "default" in words)
            self.cached_store = self.cached_store or "upload" in opts
        elif verb == "reg" and len(words) >= 4 and words[3] == "defaultStoreName":
            self.default_store_name = words[5] if len(words) > 5 else ""
        elif verb == "folder":
            store = words[1].split("/")[0]
            # An iCloud or Hotmail store is a personal-folders file to the
            # add-in's passes.
            w.folder(words[1], self._model_kind(self.stores[store][0]), opts["type"])
        elif verb == "job":
            self._set_default_store()
            master = self._folder(words[1])
            w.add_job(Job(master, opts["category"], both="both" in words, no_private="no-private" in words,
                          mark_private="mark-private" in words, no_requests="no-requests" in words,
                          no_reminders="no-reminders" in words, subfolder="subfolder" in words,
                          filter=tuple(x for x in opts.get("filter", "").split(";") if x)))
        elif verb in ("item", "items"):
            # items NAME N in PATH: NAME1..NAMEn, subjects "SUBJECT 1".. (a
            # paste or import: from 16 on Outlook raises no ItemAdd).
            self._user_step()
            cats = tuple(x for x in opts.get("categories", "").split(";") if x)
            sens = 2 if "private" in words else int(opts.get("sensitivity", 0))
            content = Content(opts["subject"], cats, sens, "reminder" in words, "request" in words,
                              int(opts.get("response", 0)))
            if verb == "item":
                w.add(self._folder(words[3]), words[1], content)
            else:
                for k in range(1, int(words[2]) + 1):
                    w.add(self._folder(words[4]), f"{words[1]}{k}", replace(content, subject=f"{content.subject} {k}"))
        elif verb == "change":
            self._user_step()
            changes = {}
            if "subject" in opts:
                changes["subject"] = opts["subject"]
            if "categories" in opts:
                changes["cats"] = tuple(x for x in opts["categories"].split(";") if x)
            if "private" in words:
                changes["sens"] = 2
            if "public" in words:
                changes["sens"] = 0
            if "reminder" in words:
                changes["reminder"] = True
            if "no-reminder" in words:
                changes["reminder"] = False
            self._named(words[1])
            w.change(words[1], **changes)
        elif verb == "delete":
            # delete NAME, or delete items NAME N (NAME1..NAMEn at once: from
            # 16 on Outlook raises no ItemRemove)
            self._user_step()
            names = [f"{words[2]}{k}" for k in range(1, int(words[3]) + 1)] if words[1] == "items" else [words[1]]
            for name in names:
                self._named(name)
            for name in names:
                self._note_master_deletion(name)
                w.delete(name, hard="hard" in words)
        elif verb == "move":
            self._user_step()
            self._named(words[1])
            self._folder(words[3])
            self._note_master_deletion(words[1])
            w.move(words[1], words[3])
        elif verb == "delete-folder":
            self._user_step()
            if w.is_synchronised(self._folder(words[1])):
                raise ScriptError(f"a synchronised folder: {text}")
            w.delete_folder(words[1], hard="hard" in words)
        elif verb == "empty-deleted-items":
            self._user_step()
            w.empty_bin(words[1])
        elif verb == "expire-sync":
            # The runs are refused until the folder starts from nothing, and
            # each refusal is logged.
            self._user_step()
            self._folder(words[1])
            self.failures_since_start = self.expired_state = True
        elif verb == "clock":
            self._user_step()
        elif verb == "echo":
            # The store writes the item again on its own: a change without
            # a difference.
            self._user_step()
            self._named(words[1])
            w.change(words[1])
        elif verb == "copy":
            # The user's copy and paste: a new item with the same content
            # (and the same search key, which the add-in gives a new one).
            self._user_step()
            self._named(words[1])
            _, item = w.named(words[1])
            w.add(self._folder(words[3]), words[5], item.content)
        elif verb == "find":
            folder = self._folder(words[3])
            item = next((i for i in folder.items if i.content.subject == opts["subject"] and not i.maybe), None)
            if item is None:
                raise ScriptError(f"nothing to find: {text}")
            item.name = words[1]
        elif verb == "start":
            self._set_default_store()
            self.failures_since_start = self.master_deletions_since_start = self.reloads_since_start = False
            if w.started:
                w.restart()  # Outlook opens again after a quit
            else:
                w.start()
        elif verb in ("restart", "quit"):
            out = self._error_log_check() + out
            self.failures_since_start = self.master_deletions_since_start = self.reloads_since_start = False
            w.restart()
        elif verb == "reload":
            self._user_step()
            self.reloads_since_start = True
            w.reload()
        elif verb == "fail":
            self.failures_since_start = True
        elif verb == "calls":
            self.writes_cleared = True
        elif verb == "wait" and words[1:3] == ["until", "idle"]:
            out += self.expectations()
        self.lines += out
        return out

    def _note_master_deletion(self, name):
        folder, _ = self.world.named(name)
        if folder.kind == "pst" and self.world.job_of_master(folder):
            self.master_deletions_since_start = True

    @staticmethod
    def _model_kind(store_kind):
        """iCloud and Hotmail stores are personal-folder files to the
        add-in's passes."""
        return "exchange" if store_kind == "exchange" else "pst"

    def _user_step(self):
        self.writes_cleared = False

    def _folder(self, path):
        if path not in self.world.folders:
            raise ScriptError(f"no folder {path}")
        return self.world.folders[path]

    def _named(self, name):
        try:
            _, item = self.world.named(name)
        except KeyError:
            raise ScriptError(f"no item named {name}")
        if item.maybe:
            raise ScriptError(f"{name} may be gone")

    def _set_default_store(self):
        name = self.default_store_name or next((n for n, (_, d) in self.stores.items() if d), "")
        if name not in self.stores:
            raise ScriptError("no default store")
        self.world.default_store = name
        self.world.default_kind = self._model_kind(self.stores[name][0])

    # ----- writing -----

    def expectations(self):
        out = []
        for folder in self.world.synchronised():
            path = f'"{folder.path}"'
            certain = [i for i in folder.items if not i.maybe]
            if len(certain) == len(folder.items):
                out.append(f"expect count {path} {len(certain)}")
            for i in sorted(certain, key=lambda i: i.content.subject):
                c = i.content
                line = f'expect item {path} subject="{c.subject}" categories="{";".join(c.cats)}" sensitivity={c.sens}'
                if folder.type != "contacts":
                    line += " reminder" if c.reminder else " no-reminder"
                out.append(line)
        if self.writes_cleared:
            out.append("expect no-writes")
        return out

    def _error_log_check(self):
        if self.failures_since_start or not self.world.started:
            return []
        explained = EXPLAINED_ERRORS + (RACING_DELETION_ERRORS if self.master_deletions_since_start else ())
        if self.reloads_since_start:
            explained += tuple(e for e in STOPPED_PASS_ERRORS if e not in explained)
        if self.cached_store:
            explained += CACHED_UPLOAD_ERRORS
        if self.expired_state:
            explained += EXPIRED_STATE_ERRORS
        return [f'expect error-log "ERROR:" count=0 except="{";".join(explained)}"']

    def finish(self):
        """The end of the scenario: the error log holds nothing unexplained."""
        out = self._error_log_check()
        self.lines += out
        return out


def annotate(text):
    """The scenario with the model's expectations for its own steps."""
    script = Script()
    for line in text.splitlines():
        script.apply(line)
    script.finish()
    return "\n".join(script.lines) + "\n"
