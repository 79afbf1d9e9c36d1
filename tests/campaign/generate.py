"""A seeded generator of campaign scenarios.

One seed gives one world (a default store, one to three master folders and
their jobs) and a run of user steps, each followed by a wait until the
add-in has settled. The steps are written as scenario commands and followed
in the model at once, so the generator only makes steps whose outcome the
model can tell.
"""

import copy
import os
import random
from dataclasses import replace

from model import RULES, passes, store_of

from script import Script

JOB_CATEGORIES = ["Work", "Family", "Club"]
USER_CATEGORIES = ["Holiday", "Personal"]
NAMES = {
    "contacts": ["Ada", "Bob", "Cleo", "Dan", "Eve", "Finn", "Gus", "Hedy", "Ivo", "Jan"],
    "calendar": ["Dentist", "Party", "Meeting", "Concert", "Lunch", "Trip", "Match", "Visit"],
    "tasks": ["Taxes", "Garden", "Report", "Repair", "Shopping", "Letter", "Tickets"],
}
TYPES = ["contacts", "calendar", "tasks"]
# The store of a master of each kind. iCloud and Hotmail stores are
# personal-folder files to the add-in, with the quirks of their services.
MASTER_STORES = {"pst": "Archive", "exchange": "Mailbox", "icloud": "Cloud", "hotmail": "Hotmail"}
CONFIG = r'"HKCU\Software\Corvane\Tallowby\Config"'

# The world's harsh forms, each switchable (CAMPAIGN_FORMS: "all", or a list
# of names, each with + or - against the default set). "refile" is a rule
# with an earlier and a mended form (model.RULES): while it is off, the
# generator makes a step that meets it only where both forms agree.
FORMS = {
    "clock": "a store's clock ahead or behind by seconds to hours, and put on or back while Outlook runs",
    "dst": "every store's clock on a night when the local zone's daylight saving begins or ends",
    "echo": "stores that write the add-in's items again on their own, 20 or 30 s later",
    "cached": "a mailbox in cached mode: a new item reaches the server a minute or three later, and the user's "
              "new items there are changed or deleted before it",
    "cached-copies": "the add-in's copies into a cached mailbox are changed or deleted before their upload",
    "expire": "the server forgets a folder's sync states; the change query fails several runs in a row",
    "move": "items dragged between masters, out of a master and back, and back out of Deleted Items",
    "hard": "items deleted for good, Deleted Items emptied, folders outside the jobs deleted",
    "refile": "the phone re-files an item from one two-way job to another",
    "reminders": "reminders changed on either side of a job that keeps them on the origin side",
    "overlap": "the user's categories hold a job's category as part of their name",
    "default-kinds": "the default folders in an iCloud or Hotmail store",
}
DEFAULT_FORMS = {"hard", "move", "expire", "cached", "default-kinds", "reminders", "overlap", "refile"}


def forms_from(text):
    """The forms a list names: "all", or names each with + or - against the
    default set (a plain name: that form alone, with the others named)."""
    if not text:
        return set(DEFAULT_FORMS)
    if text.strip() == "all":
        return set(FORMS)
    words = text.replace(",", " ").split()
    forms = set(DEFAULT_FORMS) if all(w[0] in "+-" for w in words) else set()
    for w in words:
        name = w.lstrip("+-")
        if name == "all":
            forms |= set(FORMS) if w[0] != "-" else set()
            continue
        if name not in FORMS:
            raise ValueError(f"no campaign form {name}: {', '.join(FORMS)}")
        if w[0] == "-":
            forms.discard(name)
        else:
            forms.add(name)
    return forms


CLOCK_OFFSETS = ["+5s", "-5s", "+40s", "-40s", "+3m", "-3m", "+20m", "-20m", "+2h", "-2h", "+5h", "-5h"]
# Nights of Europe/Berlin's changes, the zone every test runs in: 01:00 UTC.
DST_NIGHTS = ["2026-10-25", "2027-03-28"]


class Generator:
    def __init__(self, seed, forms=None):
        self.rng = random.Random(seed)
        self.seed = seed
        self.forms = set(DEFAULT_FORMS) if forms is None else set(forms)
        self.script = Script()
        self.serial = 0
        self.finds = 0
        # While the add-in cannot hear of the user's changes (Outlook is
        # closed, a folder has lost its sync state): each folder's subjects
        # before, and the keys changed since (their copies still hold the
        # old ones).
        self.unheard_subjects = None
        self.changed_unheard = set()
        self.failed = False
        # A folder threw its sync state away since Outlook started: once it
        # has, the next refused run starts again from nothing only after 56
        # more (the rule's count from -50), hours of forced runs.
        self.sync_state_lost = False
        self.batches = 0
        self.batch_names = []
        self.store_kinds = {}     # store name -> kind
        self.extra_wait = 0       # what the stores' own work adds to each settling
        self.old_folders = {}     # master store and item type -> a folder outside the jobs
        self.parked = set()       # sync ids of items the user moved out and may bring back
        self.folder_serial = 0
        self.item_types = {}      # the item type of each of them
        self.user_categories = list(USER_CATEGORIES)
        if "overlap" in self.forms:
            self.user_categories += ["Work travel", "Clubhouse", "Family trip"]

    # ----- writing -----

    def emit(self, line):
        self.script.apply(line)
        if line in ("start", "restart"):
            self.sync_state_lost = False

    def settle(self, seconds=25):
        self.emit(f"wait {seconds + self.extra_wait}")
        self.emit("wait until idle")

    @property
    def world(self):
        return self.script.world

    # ----- the world -----

    def store_options(self, kind):
        """A store's clock, echo and cached mode, as the forms ask."""
        r = self.rng
        words = []
        clock = r.choice(CLOCK_OFFSETS) if "clock" in self.forms and r.random() < 0.5 else None
        if self.dst_night:
            # Every store shows the night's time; one that runs off shows it
            # that much later or earlier.
            minute = self.dst_minute
            if clock:
                minute += {"s": 0, "m": 1, "h": 60}[clock[-1]] * int(clock[:-1])
                minute = max(0, min(minute, 23 * 60))
            words.append(f"clock={self.dst_night}T{minute // 60:02d}:{minute % 60:02d}Z")
        elif clock:
            words.append(f"clock={clock}")
        if "echo" in self.forms and r.random() < 0.35:
            words.append(r.choice(["echo", "echo=30s"]))
            self.extra_wait = max(self.extra_wait, 45)
        if kind == "exchange" and "cached" in self.forms and r.random() < 0.5:
            upload = r.choice([60, 180])
            words.append(f"upload={upload}s")
            # A new item reaches the server then, and the next forced run,
            # two minutes of the worker's ticks after the one before, hands
            # it on.
            self.extra_wait = max(self.extra_wait, upload + 130)
        return "".join(" " + w for w in words)

    def add_store(self, name, kind, default=False):
        self.store_kinds[name] = kind
        self.emit(f'store "{name}" kind={kind}' + (" default" if default else "") + self.store_options(kind))

    def make_world(self):
        r = self.rng
        kinds = ["pst", "pst", "exchange"] + (["icloud", "hotmail"] if "default-kinds" in self.forms else [])
        default_kind = r.choice(kinds)
        count = r.choice([1, 2, 2, 3])
        masters = []
        for category in JOB_CATEGORIES[:count]:
            kind = r.choice(["pst", "exchange", "icloud", "hotmail"]) if r.random() < 0.5 else default_kind
            type_ = r.choice(TYPES)
            if "refile" in self.forms and masters and r.random() < 0.4:
                type_ = masters[0][2]  # a second job of one kind, to re-file between
            masters.append((category, kind, type_))
        uses_exchange = default_kind == "exchange" or any(k == "exchange" for _, k, _ in masters)
        self.dst_night = r.choice(DST_NIGHTS) if "dst" in self.forms and r.random() < 0.5 else None
        self.dst_minute = r.randint(30, 55)
        self.emit(f"# seed {self.seed}")
        self.emit("# rules: " + " ".join(sorted(self.forms & set(RULES))))
        default_store = "Local" if default_kind == "pst" else MASTER_STORES[default_kind]
        if default_kind != "exchange":
            self.add_store(default_store, default_kind, default=not uses_exchange)
        if uses_exchange:
            self.add_store("Mailbox", "exchange", default=True)
        for kind in ("pst", "icloud", "hotmail"):
            if any(k == kind for _, k, _ in masters) and MASTER_STORES[kind] not in self.store_kinds:
                self.add_store(MASTER_STORES[kind], kind)
        self.emit(f"reg set {CONFIG} debug dword 1")
        self.emit(f"reg set {CONFIG} userlog dword 1")
        # A two-way Exchange folder that was committed to within the lock
        # time counts as another user's and waits: the shortest lock time
        # keeps that wait within one settling.
        self.emit(f"reg set {CONFIG} locktime dword 10")
        if default_kind != "exchange" and uses_exchange:
            self.emit(f"reg set {CONFIG} defaultStoreName sz {default_store}")
        for category, kind, type_ in masters:
            self.emit(f'folder "{MASTER_STORES[kind]}/{category}" type={type_}')
        if self.forms & {"move", "hard"}:
            for _, kind, type_ in masters:
                self.make_old_folder(MASTER_STORES[kind], type_)
        for category, kind, type_ in masters:
            self.emit(self.job_line(category, kind, type_, masters))
        for _ in range(r.randint(0, 4)):
            self.add_item(before_start=True)
        self.emit("start")
        self.settle()

    def make_old_folder(self, store, type_):
        """A folder outside every job, where the user files items away."""
        if (store, type_) in self.old_folders:
            return
        self.folder_serial += 1
        path = f"{store}/Old {type_} {self.folder_serial}"
        self.old_folders[(store, type_)] = path
        self.emit(f'folder "{path}" type={type_}')

    def job_line(self, category, kind, type_, masters):
        r = self.rng
        words = [f'job "{MASTER_STORES[kind]}/{category}" category={category}']
        # Re-filing needs two two-way jobs of one item kind.
        shares = any(t == type_ and c != category for c, _, t in masters)
        both = r.random() < (0.85 if "refile" in self.forms and shares else 0.6)
        if both:
            words.append("both")
        if r.random() < 0.3:
            words.append("no-private")
        if type_ != "contacts" and r.random() < 0.3:
            words.append("no-requests")
        if type_ != "contacts" and r.random() < 0.4:
            words.append("no-reminders")
        subfolder = r.random() < 0.15
        if subfolder:
            words.append("subfolder")
        # A default folder that several jobs share takes the privacy mark of
        # one of them for every item it hands on, so the mark is given only
        # to a job that has its default folder to itself.
        if r.random() < 0.2 and (subfolder or not shares):
            words.append("mark-private")
        if r.random() < 0.2:
            words.append(f'filter="{category};{r.choice(self.user_categories)}"')
        return " ".join(words)

    # ----- items -----

    def new_subject(self, type_):
        self.serial += 1
        return f"{self.rng.choice(NAMES[type_])} {self.serial}"

    def add_item(self, before_start=False, folders=None):
        """A new item in a master or in a default folder."""
        r = self.rng
        w = self.world
        if folders:
            pass
        elif before_start:
            # Not in a mailbox in cached mode: whether an item reaches the
            # server before the folder's first run takes what it holds as
            # its starting point is timing alone.
            folders = [f for f in [j.master for j in w.jobs] + [j.target for j in w.jobs if not j.subfolder]
                       if not self.cached(f)]
            if not folders:
                return
        else:
            folders = w.synchronised()
        folder = r.choice(folders)
        job = w.job_of_master(folder)
        cats = self.master_categories(job) if job else self.default_categories(folder)
        words = [f'item i{self.serial + 1} in "{folder.path}" subject="{self.new_subject(folder.type)}"']
        if cats:
            words.append(f'categories="{";".join(cats)}"')
        roll = r.random()
        if roll < 0.2:
            words.append("private")
        elif roll < 0.25:
            words.append("sensitivity=1")
        if folder.type != "contacts":
            if r.random() < 0.15:
                words.append("request")
                words.append(f"response={r.choice([0, 3, 5])}")
            elif r.random() < 0.3 and self.reminders_settled(folder):
                words.append("reminder")
        self.emit(" ".join(words))

    def reminders_settled(self, folder):
        """Whether a default calendar in a Hotmail store holds an item back
        while a reminder of it is due was seen to differ from one world to
        the other (its items go by their meeting id, the reminders by their
        search key): no appointment there has a reminder."""
        return not (folder.type == "calendar" and self.store_kinds.get(self.world.default_store) == "hotmail")

    def master_categories(self, job):
        """A master item's categories: none, its job's, the user's own, or
        another job's. Never its job's with another job's of the same item
        type: that item would belong to two masters that feed one default
        folder, each with its own copy of one sync id."""
        r = self.rng
        w = self.world
        others = [j.category for j in w.jobs if j is not job]
        choice = r.choice(["none", "none", "own", "user", "own+user", "other", "marker"])
        if choice == "marker":
            return ["NO_SYNC"]
        if choice == "own":
            return [job.category]
        if choice == "user":
            return [r.choice(self.user_categories)]
        if choice == "own+user":
            return [job.category, r.choice(self.user_categories)]
        if choice == "other" and others:
            return [r.choice(others)]
        return []

    def default_categories(self, folder):
        """A default-folder item's categories. In a category subfolder the
        item carries that job's category and no other job's: the add-in
        routes an item by category, and a subfolder's item with another
        job's category would go where the store kind decides. In the default
        folder itself no item carries a subfolder job's category, for the
        same reason."""
        r = self.rng
        w = self.world
        jobs = w.jobs_of_target(folder)
        if any(j.subfolder for j in jobs):
            cats = [jobs[0].category]
            if r.random() < 0.3:
                cats.append(r.choice(self.user_categories))
            return cats
        same_type = [j.category for j in w.jobs if j.master.type == folder.type and not j.subfolder]
        choice = r.choice(["job", "job", "job", "two", "job+user", "user", "none"])
        if choice in ("job", "job+user") and same_type:
            cats = [r.choice(same_type)]
            return cats + [r.choice(self.user_categories)] if choice == "job+user" else cats
        if choice == "two" and len(same_type) > 1:
            return r.sample(same_type, 2)
        if choice == "user":
            return [r.choice(self.user_categories)]
        return []

    # ----- the user's steps -----

    def candidates(self, copied_only=False):
        """Items the user can change or delete: every item of a synchronised
        folder that is certainly there (copied_only: whose counterpart is)."""
        w = self.world
        return [(f, i) for f in w.synchronised() for i in f.items
                if not i.maybe and (not copied_only or self.counterpart(f, i)) and self.nameable(f, i)]

    def nameable(self, folder, item):
        """An item without a name is found by its subject, which a pasted
        item shares with its original until one of them changes. While
        Outlook is closed, the copies of an item changed meanwhile still
        carry its old subject, which the model has already moved on; so do
        they while the folder of the changed item has no sync state."""
        if item.name:
            return True
        subjects = [i.content.subject for i in folder.items]
        if self.unheard_subjects is not None:
            before = self.unheard_subjects[folder.path]
            subjects += [before[i.key] for i in folder.items if i.key in self.changed_unheard and i.key in before]
        return subjects.count(item.content.subject) == 1

    def counterpart(self, folder, item):
        """The copy that a change or deletion of the item is carried to: a
        default folder's item reaches only two-way jobs' masters."""
        w = self.world
        job = w.job_of_master(folder)
        jobs = [job] if job else [j for j in w.jobs_of_target(folder) if j.both]
        for j in jobs:
            other = j.target if job else j.master
            copy = other.item(item.key)
            if copy is not None and not copy.maybe and passes(j, item.content) and not (
                    j.master.kind == "exchange" and not j.no_reminders and w.in_reminders(item.key)):
                return copy
        return None

    def name_of(self, folder, item):
        name, lines = self.naming(folder, item)
        self.emit_named(lines)
        return name

    def naming(self, folder, item):
        """The item's name, and the line that gives it one if it has none."""
        if item.name:
            return item.name, []
        return f"c{self.finds + 1}", [f'find c{self.finds + 1} in "{folder.path}" subject="{item.content.subject}"']

    def emit_named(self, lines):
        """Writes a step's lines; a find among them uses up its name."""
        for line in lines:
            if line.startswith("find "):
                self.finds += 1
            self.emit(line)

    def outcome(self, lines, rules):
        """What the folders hold after the lines, with these mended rules."""
        trial = copy.deepcopy(self.script)
        trial.world.rules = set(rules)
        for line in lines:
            trial.apply(line)
        return trial.world.snapshot()

    def rules_agree(self, lines):
        """The lines have one outcome whether or not the mended rules that
        are still off are in force: the seed passes before and after the
        mends."""
        off = set(RULES) - self.world.rules
        if not off:
            return True
        return self.outcome(lines, self.world.rules) == self.outcome(lines, self.world.rules | off)

    def linked_two_way(self, folder, item):
        """The item has a counterpart in a two-way job's master."""
        w = self.world
        return any(j.both and j.master.item(item.key) is not None and not j.master.item(item.key).maybe
                   for j in w.jobs_of_target(folder))

    def why_not_change(self, folder, item, after):
        """Why a change would have an outcome the add-in's rules leave open;
        None when it has none."""
        w = self.world
        job = w.job_of_master(folder)
        if job and job.both and job.category in item.content.cats and job.category not in after.cats:
            # Which pass meets the change first decides: the master's puts the
            # category back on the master item, the default folder's does
            # not.
            return "the change takes the job's category off a two-way master item"
        for j in w.jobs_of_target(folder):
            if (j.both and j.master.kind == "pst" and folder.kind == "pst" and j.category not in after.cats
                    and j.master.item(item.key) is not None and not self.refiles(folder, item, after)):
                # The default folder's pass no longer takes the item for the
                # job's, but the master's pass copies it back when it lists
                # the master item, whatever its categories.
                return "the change takes the item out of its job"
        if not job and any(j.category in item.content.cats and j.category not in after.cats
                           for j in w.jobs_of_target(folder)) and any(
                j.category in after.cats and j.category not in item.content.cats for j in w.jobs_of_target(folder)):
            if not self.refiles(folder, item, after):
                # Which of the two jobs, or both, the item then belongs to
                # is settled only for a plain re-filing between two-way jobs.
                return "the item goes from one job to another, but not as a plain re-filing"
        one_way_holders = [j for j in w.jobs_of_target(folder) if not j.both and j.master.item(item.key)]
        joins = [j for j in w.jobs_of_target(folder)
                 if j.both and j.category in after.cats and j.master.item(item.key) is None]
        if not job and one_way_holders and joins:
            # The copy of a one-way master's item would get a copy of its own
            # in a two-way master, with the same sync id. The next change of
            # the one-way master's item writes its categories over the copy
            # and takes it out of the two-way job; whether that master's
            # item is then repaired as a duplicate with a copy of its own, or
            # keeps its link until then, is up to which pass comes first.
            return "a one-way master's copy would join a two-way job"
        if folder.kind == "pst" and w.jobs_of_target(folder) and self.linked_two_way(folder, item):
            if after.reminder or w.in_reminders(item.key):
                # The default folder's pass leaves an item alone while a
                # reminder of it is due, but the master's pass carries it back
                # if it happens to list the master item: either may come first.
                return "a reminder of it is due"
        return None

    def refiles(self, folder, item, after):
        """The change re-files a default-folder item from one two-way job to
        another: it carries exactly one job's category before and another's
        after, both jobs two-way, into this folder itself (no category
        subfolder), the item linked to the first job's master, passing the
        second's filter and with no reminder due."""
        w = self.world
        if "refile" not in self.forms or w.job_of_master(folder):
            return False
        jobs = [j for j in w.jobs_of_target(folder)]
        before_jobs = [j for j in jobs if j.category in item.content.cats]
        after_jobs = [j for j in jobs if j.category in after.cats]
        if len(before_jobs) != 1 or len(after_jobs) != 1 or before_jobs[0] is after_jobs[0]:
            return False
        a, b = before_jobs[0], after_jobs[0]
        linked = a.master.item(item.key)
        # A Hotmail calendar's jobs have a default-folder walk of their own.
        hotmail = [store_of(j.master.path) == MASTER_STORES["hotmail"] for j in (a, b)]
        return (a.both and b.both and not a.subfolder and not b.subfolder and linked is not None
                and hotmail[0] == hotmail[1]
                and not linked.maybe and passes(a, linked.content) and passes(b, after)
                and b.master.item(item.key) is None and not after.reminder and not w.in_reminders(item.key))

    def refile_item(self):
        """The phone re-files an item from one two-way job to another of the
        same default folder."""
        w = self.world
        choices = [(f, i) for f, i in self.candidates() if not w.job_of_master(f)]
        self.rng.shuffle(choices)
        for folder, item in choices:
            others = [j for j in w.jobs_of_target(folder) if j.category not in item.content.cats]
            for b in others:
                cats = tuple(c for c in item.content.cats if not w.job_by_category(c, folder.type)) + (b.category,)
                after = replace(item.content, cats=cats)
                if not self.refiles(folder, item, after) or self.why_not_change(folder, item, after):
                    continue
                name, lines = self.naming(folder, item)
                lines.append(f'change {name} categories="{";".join(cats)}"')
                self.emit_named(lines)
                return 130
        return None

    def change_item(self, subject_only=False, skip_keys=(), copied_only=False):
        """Changes an item; returns its key, None when no item can be
        changed."""
        r = self.rng
        w = self.world
        choices = self.candidates(copied_only)
        r.shuffle(choices)
        for folder, item in choices:
            if item.key in skip_keys:
                continue
            c = item.content
            job = w.job_of_master(folder)
            no_reminders = any(j.no_reminders for j in w.jobs if j.master is folder or j.target is folder)
            after = replace(c, subject=c.subject.split(".")[0] + f".{self.serial}")
            self.serial += 1
            words = [f'subject="{after.subject}"']
            if r.random() < 0.2 and not subject_only:
                after = replace(after, sens=0 if c.sens & 2 else 2)
                words.append("public" if after.sens == 0 else "private")
            if r.random() < 0.2 and not subject_only and not any(j.subfolder for j in w.jobs_of_target(folder)):
                cats = tuple(self.master_categories(job) if job else self.default_categories(folder))
                after = replace(after, cats=cats)
                words.append(f'categories="{";".join(cats)}"')
            # A job that keeps reminders on the origin side gets reminder
            # changes with the "reminders" form.
            if (folder.type != "contacts" and (not no_reminders or "reminders" in self.forms) and not c.request
                    and r.random() < 0.15 and not subject_only and self.reminders_settled(folder)):
                after = replace(after, reminder=not c.reminder)
                words.append("reminder" if after.reminder else "no-reminder")
            if self.why_not_change(folder, item, after):
                continue
            name, lines = self.naming(folder, item)
            lines.append(f"change {name} " + " ".join(words))
            if not self.rules_agree(lines):
                continue
            self.emit_named(lines)
            return item.key
        return None

    def delete_item(self, copied_only=False):
        r = self.rng
        choices = self.candidates(copied_only)
        r.shuffle(choices)
        for folder, item in choices:
            movable = self.movable(folder, item)
            name = self.name_of(folder, item)
            self.emit(f"delete {name}")
            if "move" in self.forms and movable:
                # In Deleted Items now: the user may bring it back.
                self.parked.add(item.key)
                self.item_types[item.key] = folder.type
            return True
        return False

    def echo_item(self):
        """The store writes an item again on its own (a dismissed reminder):
        the add-in may carry it over again, with nothing changed."""
        choices = self.candidates()
        self.rng.shuffle(choices)
        for folder, item in choices:
            if self.why_not_change(folder, item, item.content):
                continue
            name, lines = self.naming(folder, item)
            lines.append(f"echo {name}")
            if not self.rules_agree(lines):
                continue
            self.emit_named(lines)
            return True
        return False

    def add_items_at_once(self):
        """A paste or an import of several items into one folder; from 16
        on Outlook raises no ItemAdd, and the passes find them alone."""
        r = self.rng
        w = self.world
        folder = r.choice(w.synchronised())
        job = w.job_of_master(folder)
        cats = self.master_categories(job) if job else self.default_categories(folder)
        count = r.choice([3, 16, 20])
        self.batches += 1
        name = f"b{self.batches}x"
        words = [f'items {name} {count} in "{folder.path}" subject="{self.new_subject(folder.type)}"']
        if cats:
            words.append(f'categories="{";".join(cats)}"')
        if r.random() < 0.2:
            words.append("private")
        self.emit(" ".join(words))
        self.batch_names.append((name, count))
        # Without events the items wait for the next forced pass or run,
        # two minutes of the workers' ticks after the one before (not after
        # the paste), and a tick takes a little longer than its second.
        return 250

    def delete_items_at_once(self):
        """A batch added at once goes at once, if all of it is still there."""
        w = self.world
        for name, count in self.batch_names:
            try:
                items = [w.named(f"{name}{k}")[1] for k in range(1, count + 1)]
            except KeyError:
                continue
            if any(i.maybe for i in items):
                continue
            self.batch_names.remove((name, count))
            self.emit(f"delete items {name} {count}")
            return 650
        return None

    def paste_item(self):
        """The user copies a master item and pastes it into its own master
        or another master of the item's type. The pasted item keeps the
        search key, which the add-in finds taken and replaces: it is a new
        item with copies of its own."""
        r = self.rng
        w = self.world
        choices = [(f, i) for f, i in self.candidates() if w.job_of_master(f)]
        r.shuffle(choices)
        for folder, item in choices:
            targets = [j.master for j in w.jobs if j.master.type == folder.type]
            to = r.choice(targets)
            copy = w.job_of_master(folder).target.item(item.key)
            if to is folder and copy is not None and copy.content.subject != item.content.subject:
                # The copy was edited in the default folder. Which of the
                # original and the pasted item keeps the key (and the copy)
                # is up to their times, which may tie: the copy may be
                # written over with the master item's content, or not.
                continue
            if any(j.category in item.content.cats for j in w.jobs if j.master is to) and any(
                    j.category in item.content.cats for j in w.jobs if j.master is not to and j.master.type == to.type):
                continue  # it would belong to two masters of one default folder
            self.serial += 1
            self.emit(f'copy {self.name_of(folder, item)} to "{to.path}" as p{self.serial}')
            return 130
        return None

    def why_not_paste_in_default_folder(self, folder, item):
        """Why pasting a copy of this default-folder item next to it would
        have an outcome the add-in's rules leave open; None when it has
        none."""
        w = self.world
        jobs = w.jobs_of_target(folder)
        of_item = [j for j in jobs if j.category in item.content.cats]
        if not jobs or w.job_of_master(folder):
            return "not a default folder"
        if any(not j.both for j in of_item):
            # A one-way job's copy, twice: whether the pass takes the pasted
            # one for the copy, or for an item of the user's that carries
            # the job's category, depends on which of the two it lists.
            return "a one-way job's copy"
        if len(of_item) > 1:
            return "it would belong to two masters"
        if of_item and folder.kind == "pst" and (item.content.reminder or w.in_reminders(item.key)):
            # The default folder's pass leaves an item alone while a reminder
            # of it is due, the original's and so the pasted one's too.
            return "a reminder of it is due"
        return None

    def paste_in_default_folder(self):
        """The user copies an item of a default folder and pastes it there.
        The pasted item keeps the original's sync id and search key, which
        the add-in finds taken: it is a new item, and a two-way job's
        category takes it to that master as an item of its own."""
        r = self.rng
        choices = [(f, i) for f, i in self.candidates() if self.why_not_paste_in_default_folder(f, i) is None]
        if not choices:
            return None
        folder, item = r.choice(choices)
        self.serial += 1
        self.emit(f'copy {self.name_of(folder, item)} to "{folder.path}" as p{self.serial}')
        return 130

    # ----- moves, deletes for good, folders outside the jobs -----

    def movable(self, folder, item):
        """An item the user may drag away: no reminder (one in Deleted Items
        is still due, and holds its key back), not one that a pass may make
        again, and whose key no other item of the synchronised folders
        carries."""
        w = self.world
        if item.content.reminder or w.in_reminders(item.key) or item.maybe:
            return False
        holders = [f for f in w.synchronised() for i in f.items if i.key == item.key]
        job = w.job_of_master(folder)
        if job and not job.both and job.master.kind == "pst" and job.target.item(item.key) is None:
            return False  # its copy, deleted, may come back at the next pass
        return len(holders) <= 2

    def change_after_move(self, name, folder, item):
        """A moved item keeps its time, which a pass compares with the
        folder's last sync time (a known gap: one older is not seen): the
        user changes it where it is now, so that the outcome is settled."""
        after = item.content.subject.split(".")[0] + f".{self.serial}"
        self.serial += 1
        self.emit(f'change {name} subject="{after}"')

    def move_item(self):
        """Between two masters of one item type, or out of a master into a
        folder outside the jobs; or back from there, or from Deleted Items,
        into a synchronised folder of its type."""
        r = self.rng
        w = self.world
        if self.parked and r.random() < 0.5:
            return self.bring_back()
        choices = [(f, i) for f, i in self.candidates() if w.job_of_master(f) and self.movable(f, i)]
        r.shuffle(choices)
        for folder, item in choices:
            job = w.job_of_master(folder)
            targets = [j.master for j in w.jobs if j.master.type == folder.type and j.master is not folder]
            old = self.old_folders.get((store_of(folder.path), folder.type))
            if targets and (r.random() < 0.6 or not old):
                to = r.choice(targets)
                if job.target.item(item.key) is not None and any(
                        j.category in item.content.cats for j in w.jobs
                        if j.master is not to and j.master.type == to.type and j is not job):
                    continue  # it would belong to two masters of one default folder
                name = self.name_of(folder, item)
                self.emit(f'move {name} to "{to.path}"')
                self.change_after_move(name, to, item)
                return 130
            if old:
                name = self.name_of(folder, item)
                self.emit(f'move {name} to "{old}"')
                self.parked.add(item.key)
                self.item_types[item.key] = folder.type
                return 40
        return None

    def bring_back(self):
        """An item the user moved out or deleted comes back into a
        synchronised folder of its type, and is changed there."""
        r = self.rng
        w = self.world
        for key in sorted(self.parked):
            found = [(f, i) for f in w.folders.values() if not w.is_synchronised(f) for i in f.items if i.key == key]
            if not found:
                self.parked.discard(key)  # gone for good
                continue
            folder, item = found[0]
            name = item.name
            if any(i.key == item.key for f in w.synchronised() for i in f.items):
                continue  # its key is taken again
            homes = [f for f in w.synchronised() if f.type == self.item_types[key]]
            if not homes:
                continue
            to = r.choice(homes)
            if not w.job_of_master(to):
                cats = item.content.cats
                jobs = [j for j in w.jobs_of_target(to) if j.category in cats]
                if any(j.subfolder for j in w.jobs_of_target(to)) or any(
                        j.subfolder for j in w.jobs if j.category in cats):
                    continue
                if any(not j.both for j in jobs) or len(jobs) > 1:
                    continue  # a one-way job's copy, or an item of two masters
            elif [j for j in w.jobs if j.master.type == to.type and j.master is not to and j.category in item.content.cats]:
                continue
            if w.in_bin(folder):
                if [i.content.subject for i in folder.items].count(item.content.subject) != 1:
                    continue
                name = self.find_in_bin(folder, item)
            self.parked.discard(key)
            self.emit(f'move {name} to "{to.path}"')
            self.change_after_move(name, to, item)
            return 130
        return None

    def find_in_bin(self, folder, item):
        """A deleted item has a new EntryID in Deleted Items: found there by
        its subject."""
        self.finds += 1
        self.emit(f'find c{self.finds} in "{folder.path}" subject="{item.content.subject}"')
        return f"c{self.finds}"

    def park_copy(self):
        """The user copies a master item into a folder outside the jobs: it
        keeps the search key there, unsynchronised."""
        w = self.world
        choices = [(f, i) for f, i in self.candidates() if w.job_of_master(f)
                   and self.old_folders.get((store_of(f.path), f.type))]
        if not choices:
            return None
        folder, item = self.rng.choice(choices)
        self.serial += 1
        self.emit(f'copy {self.name_of(folder, item)} to "{self.old_folders[(store_of(folder.path), folder.type)]}" '
                  f'as p{self.serial}')
        return 25

    def delete_for_good(self):
        """An item deleted for good, or from Deleted Items; Deleted Items
        emptied; a folder outside the jobs deleted (for good, or into
        Deleted Items)."""
        r = self.rng
        w = self.world
        roll = r.random()
        if roll < 0.2 and self.old_folders:
            key = r.choice(sorted(self.old_folders))
            path = self.old_folders.pop(key)
            self.emit(f'delete-folder "{path}"' + (" hard" if r.random() < 0.5 else ""))
            self.make_old_folder(*key)
            return 25
        if roll < 0.35:
            stores = sorted({store_of(f.path) for f in w.folders.values() if w.in_bin(f) and f.items})
            if stores:
                self.emit(f'empty-deleted-items "{r.choice(stores)}"')
                return 25
        binned = [(f, i) for f in w.folders.values() if w.in_bin(f) for i in f.items
                  if [j.content.subject for j in f.items].count(i.content.subject) == 1]
        if roll < 0.5 and binned:
            folder, item = r.choice(binned)
            self.emit(f"delete {self.find_in_bin(folder, item)}")
            return 25
        choices = self.candidates()
        r.shuffle(choices)
        for folder, item in choices:
            self.emit(f"delete {self.name_of(folder, item)} hard")
            return 40
        return None

    # ----- clocks, sync states, cached uploads -----

    def change_clock(self):
        """A store's clock is put on or back while Outlook runs."""
        if not self.store_kinds or self.dst_night:
            return None
        store = self.rng.choice(sorted(self.store_kinds))
        self.emit(f'clock "{store}" {self.rng.choice(CLOCK_OFFSETS)}')
        return 25 if self.change_item() else 5

    def exchange_folders(self):
        return [f for f in self.world.synchronised() if f.kind == "exchange"]

    def run_from_nothing_changes_nothing(self, folder):
        """A run from nothing hands on every item of the folder, also what
        its first run took as its starting point, and items that wait for
        their next change; whether it should is not settled, so the folder
        must then hold nothing that the model would carry."""
        trial = copy.deepcopy(self.script)
        trial.world.run_from_nothing(trial.world.folders[folder.path])
        return trial.world.snapshot() == self.world.snapshot()

    def expire(self):
        """The server forgets a folder's sync states; what the user does
        meanwhile arrives once the folder runs from nothing."""
        folders = [f for f in self.exchange_folders() if self.run_from_nothing_changes_nothing(f)]
        if not folders or self.sync_state_lost:
            return None
        self.sync_state_lost = True
        self.emit(f'expire-sync "{self.rng.choice(folders).path}"')
        self.failed = True
        self.note_unheard()
        self.change_unheard(self.rng.choice([1, 2]))
        self.heard()
        # Each refused run is a forced one, two minutes after the one before.
        return 900

    def failing_queries(self):
        """The change query fails several runs in a row (a server that
        does not answer for a while), and the user changes an item."""
        if self.sync_state_lost or not self.exchange_folders() or not all(
                self.run_from_nothing_changes_nothing(f) for f in self.exchange_folders()):
            return None
        count = self.rng.choice([2, 3, 6, 7])
        self.sync_state_lost = count > 5
        at = len(self.script.lines)
        if not self.change_item():
            return None
        self.script.lines.insert(at, f"fail Sync.GetChanges nth=1 count={count}")
        self.script.failures_since_start = True
        self.failed = True
        return 130 * (count + 1)

    def cached_edit(self):
        """In a mailbox in cached mode, a new item is changed or deleted
        before it reaches the server: the user's own, or the add-in's copy
        (with a Reload or a restart in between)."""
        r = self.rng
        w = self.world
        cached = [n for n, k in self.store_kinds.items() if k == "exchange" and "upload=" in self.store_line(n)]
        if not cached:
            return None
        folders = [f for f in w.synchronised() if f.kind == "exchange"]
        if "cached-copies" in self.forms and r.random() < 0.5:
            # The add-in's copy into the mailbox, made from the other side.
            # (Only a two-way job's fresh copy into the default folder is
            # waited for: its user-log line comes once it is written.)
            pairs = [(j, f) for f in folders for j in w.jobs if j.target is f and j.master.kind == "pst" and j.both]
            if pairs:
                job, into = r.choice(pairs)
                source = job.master
                if job.subfolder:
                    return None
                subject = self.new_subject(source.type)
                name = f"i{self.serial}"
                cats = [job.category] + ([r.choice(self.user_categories)] if r.random() < 0.3 else [])
                self.emit(f'item {name} in "{source.path}" subject="{subject}" categories="{";".join(cats)}"')
                copy_ = into.item(w.named(name)[1].key)
                if copy_ is None:
                    return 25
                self.emit(f'wait for log "NEW: {subject}"')
                self.finds += 1
                self.before_upload(f"c{self.finds}", into, copy_,
                                   f'find c{self.finds} in "{into.path}" subject="{subject}"')
                return 25
        # The user's own new item in the mailbox.
        self.add_item(folders=folders)
        folder, item = w.named(f"i{self.serial}")
        self.before_upload(item.name, folder, item)
        return 25

    def before_upload(self, name, folder, item, find=None):
        """The user changes or deletes a new item of the cached mailbox,
        after a Reload or a restart now and then."""
        r = self.rng
        if r.random() < 0.3:
            self.emit(r.choice(["reload", "restart"]))
        if find:
            self.emit(find)
        if r.random() < 0.4:
            self.emit(f"delete {name}")
        elif not self.why_not_change(folder, item, item.content):
            self.emit(f'change {name} subject="{item.content.subject}.{self.serial}"')
            self.serial += 1

    def cached(self, folder):
        return "upload=" in self.store_line(store_of(folder.path))

    def store_line(self, name):
        return next((l for l in self.script.lines if l.startswith(f'store "{name}"')), "")

    def user_action(self, kind):
        """One action of the user; the seconds to wait for it, None when
        there was nothing to do."""
        if kind == "add":
            for _ in range(self.rng.choice([1, 1, 2])):
                self.add_item()
            return 25
        if kind == "change":
            return 25 if self.change_item() else None
        return 40 if self.delete_item() else None

    def failure(self):
        """A wrapper operation fails once or a few times before the user's
        next action: the add-in tries again, and the outcome is the same as
        without the failure. Only writes fail, which an idle Exchange run
        does not make, so the failure meets the work the action causes."""
        r = self.rng
        op = r.choice(["Message.Save", "Message.CopyTo", "Message.Save", "Items.Find", "Message.Delete"])
        count = r.choice([1, 1, 2])
        at = len(self.script.lines)
        # The action certainly calls the operation: it changes or deletes an
        # item whose copy exists. A failure that no call met would stay armed
        # and meet a later step's work instead. The change is of the subject
        # alone.
        if op == "Message.Delete":
            done = self.delete_item(copied_only=True)
        else:
            done = self.change_item(subject_only=True, copied_only=True)
        if not done:
            return None
        # From the next call on, so that the failure meets this action's work
        # (written before the action's lines).
        self.script.lines.insert(at, f"fail {op} nth=1 count={count}")
        self.script.failures_since_start = True
        self.failed = True
        # A failed deletion waits for the next forced deleted-items search;
        # each failed pass for the next forced pass, which comes two minutes
        # of the worker's ticks after the one before it (not after the
        # failure), and a tick takes a little longer than its second.
        return 620 * count if op == "Message.Delete" else 250 * count

    def note_unheard(self):
        self.unheard_subjects = {path: {i.key: i.content.subject for i in f.items}
                                 for path, f in self.world.folders.items()}

    def change_unheard(self, count):
        """Changes that the add-in hears of only later, one per item and
        its copies: two would meet as a conflict (or within one second, as
        a tie), and the add-in would not see the first one."""
        for _ in range(count):
            key = self.change_item(skip_keys=self.changed_unheard)
            if key:
                self.changed_unheard.add(key)

    def heard(self):
        self.unheard_subjects = None
        self.changed_unheard.clear()

    def offline(self):
        """Outlook is closed while the user changes and adds items. (Only
        items that were there before: the add-in makes no copy meanwhile.)
        An Exchange folder hears of them at its first forced run, after its
        lock time."""
        self.emit("quit")
        self.note_unheard()
        self.change_unheard(self.rng.choice([0, 1, 2]))
        for _ in range(self.rng.choice([0, 1, 1])):
            self.add_item()
        self.heard()
        self.emit("start")
        return 70

    def step(self):
        r = self.rng
        kinds = {"add": 40, "change": 30, "delete": 18, "restart": 7, "reload": 5, "fail": 8, "offline": 6,
                 "echo": 5, "bulk": 4, "bulk-delete": 3, "paste": 5, "paste-default": 3}
        for form, kind, weight in (("move", "move", 14), ("hard", "delete-for-good", 8), ("hard", "park-copy", 4),
                                   ("clock", "clock", 8), ("expire", "expire", 5), ("expire", "failing-queries", 6),
                                   ("cached", "cached-edit", 12), ("refile", "refile", 16)):
            if form in self.forms:
                kinds[kind] = weight
        kind = r.choices(list(kinds), list(kinds.values()))[0]
        other = {"move": self.move_item, "delete-for-good": self.delete_for_good, "park-copy": self.park_copy,
                 "clock": self.change_clock, "expire": self.expire, "failing-queries": self.failing_queries,
                 "cached-edit": self.cached_edit, "refile": self.refile_item}
        if kind in other:
            seconds = other[kind]()
        elif kind == "echo":
            seconds = 25 if self.echo_item() else None
        elif kind == "bulk":
            seconds = self.add_items_at_once()
        elif kind == "bulk-delete":
            seconds = self.delete_items_at_once()
        elif kind == "paste":
            seconds = self.paste_item()
        elif kind == "paste-default":
            seconds = self.paste_in_default_folder()
        elif kind in ("restart", "reload"):
            self.emit(kind)
            seconds = 25
        elif kind == "fail":
            seconds = self.failure()
        elif kind == "offline":
            seconds = self.offline()
        else:
            seconds = self.user_action(kind)
        if seconds:
            self.settle(seconds)

    def run(self):
        self.make_world()
        for _ in range(self.rng.randint(4, 10)):
            self.step()
        if any(i.maybe for f in self.world.synchronised() for i in f.items):
            self.emit("reload")
            self.settle()
        if self.failed:
            # The error log starts empty with Outlook: after the failures,
            # nothing unexplained is written any more.
            self.emit("restart")
            self.settle()
        # Quiet at the end: several passes, then a forced one writes nothing.
        self.settle(130)
        self.emit("calls clear")
        self.settle(130)
        self.script.finish()
        return "\n".join(self.script.lines) + "\n"


def generate(seed, forms=None):
    """One seed's scenario, with the forms named (default: CAMPAIGN_FORMS,
    else the default set)."""
    if forms is None:
        forms = forms_from(os.environ.get("CAMPAIGN_FORMS", ""))
    return Generator(seed, forms).run()
