"""A seeded generator of campaign scenarios.

One seed gives one world (a default store, one to three master folders and
their jobs) and a run of user steps, each followed by a wait until the
add-in has settled. The steps are written as scenario commands and followed
in the model at once, so the generator only makes steps whose outcome the
model can tell.
"""

import random
from dataclasses import replace

from model import passes

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


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.seed = seed
        self.script = Script()
        self.serial = 0
        self.finds = 0
        # While Outlook is closed: each folder's subjects before it closed,
        # and the keys changed since (their copies still hold the old ones).
        self.closed_subjects = None
        self.changed_while_closed = set()
        self.failed = False
        self.batches = 0
        self.batch_names = []

    # ----- writing -----

    def emit(self, line):
        self.script.apply(line)

    def settle(self, seconds=25):
        self.emit(f"wait {seconds}")
        self.emit("wait until idle")

    @property
    def world(self):
        return self.script.world

    # ----- the world -----

    def make_world(self):
        r = self.rng
        default_kind = r.choice(["pst", "pst", "exchange"])
        count = r.choice([1, 2, 2, 3])
        masters = []
        for category in JOB_CATEGORIES[:count]:
            kind = r.choice(["pst", "exchange", "icloud", "hotmail"]) if r.random() < 0.5 else default_kind
            masters.append((category, kind, r.choice(TYPES)))
        uses_exchange = default_kind == "exchange" or any(k == "exchange" for _, k, _ in masters)
        self.emit(f"# seed {self.seed}")
        if default_kind == "pst":
            self.emit('store "Local" kind=pst' + ("" if uses_exchange else " default"))
        if uses_exchange:
            self.emit('store "Mailbox" kind=exchange default')
        for kind in ("pst", "icloud", "hotmail"):
            if any(k == kind for _, k, _ in masters):
                self.emit(f'store "{MASTER_STORES[kind]}" kind={kind}')
        self.emit(f"reg set {CONFIG} debug dword 1")
        self.emit(f"reg set {CONFIG} userlog dword 1")
        # A two-way Exchange folder that was committed to within the lock
        # time counts as another user's and waits: the shortest lock time
        # keeps that wait within one settling.
        self.emit(f"reg set {CONFIG} locktime dword 10")
        if default_kind == "pst" and uses_exchange:
            self.emit(f"reg set {CONFIG} defaultStoreName sz Local")
        for category, kind, type_ in masters:
            self.emit(f'folder "{MASTER_STORES[kind]}/{category}" type={type_}')
        for category, kind, type_ in masters:
            self.emit(self.job_line(category, kind, type_, masters))
        for _ in range(r.randint(0, 4)):
            self.add_item(before_start=True)
        self.emit("start")
        self.settle()

    def job_line(self, category, kind, type_, masters):
        r = self.rng
        words = [f'job "{MASTER_STORES[kind]}/{category}" category={category}']
        both = r.random() < 0.6
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
        shares = any(t == type_ and c != category for c, _, t in masters)
        if r.random() < 0.2 and (subfolder or not shares):
            words.append("mark-private")
        if r.random() < 0.2:
            words.append(f'filter="{category};{r.choice(USER_CATEGORIES)}"')
        return " ".join(words)

    # ----- items -----

    def new_subject(self, type_):
        self.serial += 1
        return f"{self.rng.choice(NAMES[type_])} {self.serial}"

    def add_item(self, before_start=False):
        """A new item in a master or in a default folder."""
        r = self.rng
        w = self.world
        if before_start:
            folders = [j.master for j in w.jobs] + [j.target for j in w.jobs if not j.subfolder]
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
            elif r.random() < 0.3:
                words.append("reminder")
        self.emit(" ".join(words))

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
            return [r.choice(USER_CATEGORIES)]
        if choice == "own+user":
            return [job.category, r.choice(USER_CATEGORIES)]
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
                cats.append(r.choice(USER_CATEGORIES))
            return cats
        same_type = [j.category for j in w.jobs if j.master.type == folder.type and not j.subfolder]
        choice = r.choice(["job", "job", "job", "two", "job+user", "user", "none"])
        if choice in ("job", "job+user") and same_type:
            cats = [r.choice(same_type)]
            return cats + [r.choice(USER_CATEGORIES)] if choice == "job+user" else cats
        if choice == "two" and len(same_type) > 1:
            return r.sample(same_type, 2)
        if choice == "user":
            return [r.choice(USER_CATEGORIES)]
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
        carry its old subject, which the model has already moved on."""
        if item.name:
            return True
        subjects = [i.content.subject for i in folder.items]
        if self.closed_subjects is not None:
            before = self.closed_subjects[folder.path]
            subjects += [before[i.key] for i in folder.items if i.key in self.changed_while_closed and i.key in before]
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
        if not item.name:
            self.finds += 1
            self.emit(f'find c{self.finds} in "{folder.path}" subject="{item.content.subject}"')
        return item.name

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
                    and j.master.item(item.key) is not None):
                # The default folder's pass no longer takes the item for the
                # job's, but the master's pass copies it back when it lists
                # the master item, whatever its categories.
                return "the change takes the item out of its job"
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
            # The origin mark keeps the reminder an item had when it was first
            # copied, so a job without reminders gets no reminder changes.
            if (folder.type != "contacts" and not no_reminders and not c.request and r.random() < 0.15
                    and not subject_only):
                after = replace(after, reminder=not c.reminder)
                words.append("reminder" if after.reminder else "no-reminder")
            if self.why_not_change(folder, item, after):
                continue
            if subject_only and job and job.both and job.category not in c.cats:
                continue  # the job's category goes onto it with a save that may fail
            name = self.name_of(folder, item)
            self.emit(f"change {name} " + " ".join(words))
            return item.key
        return None

    def delete_item(self, copied_only=False):
        r = self.rng
        choices = self.candidates(copied_only)
        r.shuffle(choices)
        for folder, item in choices:
            name = self.name_of(folder, item)
            self.emit(f"delete {name}")
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
            self.emit(f"echo {self.name_of(folder, item)}")
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
        # alone: a category written with a save that fails is lost by rule
        # (the save's result is not tested).
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

    def note_closed(self):
        self.closed_subjects = {path: {i.key: i.content.subject for i in f.items}
                                for path, f in self.world.folders.items()}

    def offline(self):
        """Outlook is closed while the user changes and adds items. (Only
        items that were there before: the add-in makes no copy meanwhile.)
        An Exchange folder hears of them at its first forced run, after its
        lock time."""
        self.emit("quit")
        self.note_closed()
        changed = self.changed_while_closed
        for _ in range(self.rng.choice([0, 1, 2])):
            # One change per item and its copies: two would meet as a
            # conflict, and the add-in would not see the first one.
            key = self.change_item(skip_keys=changed)
            if key:
                changed.add(key)
        for _ in range(self.rng.choice([0, 1, 1])):
            self.add_item()
        self.closed_subjects = None
        changed.clear()
        self.emit("start")
        return 70

    def step(self):
        r = self.rng
        kind = r.choices(["add", "change", "delete", "restart", "reload", "fail", "offline", "echo", "bulk",
                          "bulk-delete", "paste", "paste-default"],
                         [40, 30, 18, 7, 5, 8, 6, 5, 4, 3, 5, 3])[0]
        if kind == "echo":
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


def generate(seed):
    return Generator(seed).run()
