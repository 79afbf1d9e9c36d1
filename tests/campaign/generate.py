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

# Steps the generator leaves out while the add-in cannot take them yet. Each
# is named after what it would do; `--enable NAME` (or "all") switches it on.
SWITCHES = {
    # A copy the add-in wrote into an Exchange folder is deleted there: the
    # add-in does not yet follow such a deletion to the other side.
    "exchange-copy-deletions": False,
    # "Mark as private" in a two-way job: the user's own master items must
    # keep their sensitivity, which the add-in does not do yet.
    "two-way-mark-private": False,
    # A master's copy of a default-folder item that two two-way jobs share is
    # deleted: the add-in deletes the default-folder item but leaves the
    # other master's copy, which a later pass brings back.
    "shared-item-deletions": False,
    # A reminder that is due on an item of a two-way job whose default folder
    # is a personal-folders one: the default folder's pass counts the item it
    # has to leave alone as an error and keeps its folder time.
    "due-reminders-in-default-folders": False,
    # An item of a two-way pair in personal folders is deleted: a pass of the
    # other side that runs before the deletion's search copies the orphaned
    # counterpart back, and the deletion is undone.
    "two-way-deletions": False,
    # A master item with a copy in a personal-folders default folder is
    # changed so that its job's filter refuses it (made private in a job
    # without private items): the master's pass keeps the change back, but
    # the default folder's pass copies it over when it lists the copy.
    "refused-master-changes": False,
    # A wrapper operation fails while an Exchange folder takes part: a failed
    # hand-on can be registered as the add-in's own write, and the change is
    # then lost.
    "exchange-failures": False,
    # A wrapper operation fails while the default folder's pass carries an
    # item to its master: the pass moves its folder time on, and the item
    # waits for its next change.
    "default-folder-failures": False,
    # Outlook is closed while the user changes an Exchange folder that never
    # saved a synchronisation state (it was empty so far): the next start
    # takes the change for the folder's starting point and hands it on never.
    "offline-in-unsaved-exchange-folders": False,
}

JOB_CATEGORIES = ["Work", "Family", "Club"]
USER_CATEGORIES = ["Holiday", "Personal"]
NAMES = {
    "contacts": ["Ada", "Bob", "Cleo", "Dan", "Eve", "Finn", "Gus", "Hedy", "Ivo", "Jan"],
    "calendar": ["Dentist", "Party", "Meeting", "Concert", "Lunch", "Trip", "Match", "Visit"],
    "tasks": ["Taxes", "Garden", "Report", "Repair", "Shopping", "Letter", "Tickets"],
}
TYPES = ["contacts", "calendar", "tasks"]
CONFIG = r'"HKCU\Software\Corvane\Tallowby\Config"'


class Generator:
    def __init__(self, seed, switches=None):
        self.rng = random.Random(seed)
        self.seed = seed
        self.switches = dict(SWITCHES, **(switches or {}))
        self.script = Script()
        self.serial = 0
        self.finds = 0
        self.failed = False

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
            kind = r.choice(["pst", "exchange"]) if r.random() < 0.5 else default_kind
            masters.append((category, kind, r.choice(TYPES)))
        uses_exchange = default_kind == "exchange" or any(k == "exchange" for _, k, _ in masters)
        self.emit(f"# seed {self.seed}")
        if default_kind == "pst":
            self.emit('store "Local" kind=pst' + ("" if uses_exchange else " default"))
        if uses_exchange:
            self.emit('store "Mailbox" kind=exchange default')
        if any(k == "pst" for _, k, _ in masters):
            self.emit('store "Archive" kind=pst')
        self.emit(f"reg set {CONFIG} debug dword 1")
        self.emit(f"reg set {CONFIG} userlog dword 1")
        # A two-way Exchange folder that was committed to within the lock
        # time counts as another user's and waits: the shortest lock time
        # keeps that wait within one settling.
        self.emit(f"reg set {CONFIG} locktime dword 10")
        if default_kind == "pst" and uses_exchange:
            self.emit(f"reg set {CONFIG} defaultStoreName sz Local")
        for category, kind, type_ in masters:
            store = "Mailbox" if kind == "exchange" else "Archive"
            self.emit(f'folder "{store}/{category}" type={type_}')
        for category, kind, type_ in masters:
            self.emit(self.job_line(category, kind, type_, masters))
        for _ in range(r.randint(0, 4)):
            self.add_item(before_start=True)
        self.emit("start")
        self.settle()

    def job_line(self, category, kind, type_, masters):
        r = self.rng
        store = "Mailbox" if kind == "exchange" else "Archive"
        words = [f'job "{store}/{category}" category={category}']
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
        if r.random() < 0.2 and (subfolder or not shares) and (not both or self.switches["two-way-mark-private"]):
            words.append("mark-private")
        if r.random() < 0.2:
            words.append(f'filter="{category};{r.choice(USER_CATEGORIES)}"')
        return " ".join(words)

    # ----- items -----

    def new_subject(self, type_):
        self.serial += 1
        return f"{self.rng.choice(NAMES[type_])} {self.serial}"

    def add_item(self, before_start=False, masters_only=False, offline=False):
        """A new item in a master or in a default folder."""
        r = self.rng
        w = self.world
        if before_start or masters_only:
            folders = [j.master for j in w.jobs]
            if not masters_only:
                folders += [j.target for j in w.jobs if not j.subfolder]
        else:
            folders = w.synchronised()
        if offline:
            folders = [f for f in folders if self.hears_offline_changes(f)]
            if not folders:
                return
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
            elif r.random() < 0.3 and self.reminder_allowed(folder, cats):
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

    def candidates(self, masters_only=False, copied_only=False):
        """Items the user can change or delete: every item of a synchronised
        folder that is certainly there (copied_only: whose counterpart is)."""
        w = self.world
        return [(f, i) for f in w.synchronised() for i in f.items
                if not i.maybe and (w.job_of_master(f) or not masters_only)
                and (not copied_only or self.counterpart(f, i))]

    def counterpart(self, folder, item):
        w = self.world
        job = w.job_of_master(folder)
        jobs = [job] if job else w.jobs_of_target(folder)
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

    def reminder_allowed(self, folder, cats):
        """A reminder on an item of this folder with these categories would
        not be due on an item of a two-way job with a personal-folders
        default folder."""
        if self.switches["due-reminders-in-default-folders"]:
            return True
        w = self.world
        job = w.job_of_master(folder)
        jobs = [job] if job else [w.job_by_category(c, folder.type) for c in cats]
        return not any(j and j.both and j.target.kind == "pst" for j in jobs)

    def two_way_pst_pair(self, folder, item):
        """The item and a counterpart lie in a two-way pair with a
        personal-folders side."""
        w = self.world
        job = w.job_of_master(folder)
        jobs = [job] if job else [j for j in w.jobs_of_target(folder) if j.master.item(item.key)]
        return any(j.both and "pst" in (j.master.kind, j.target.kind) and j.target.item(item.key) is not None
                   and j.master.item(item.key) is not None for j in jobs)

    def in_other_master(self, folder, item):
        w = self.world
        return w.job_of_master(folder) is not None and any(
            j.master is not folder and j.master.item(item.key) is not None for j in w.jobs)

    def why_not_change(self, folder, item, after):
        """Why a change would have an outcome the add-in's rules leave open;
        None when it has none."""
        w = self.world
        job = w.job_of_master(folder)
        if (job and job.target.kind == "pst" and job.target.item(item.key) is not None
                and not passes(job, after) and not self.switches["refused-master-changes"]):
            return "the filter refuses the change"
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
        if folder.kind == "pst" and w.jobs_of_target(folder) and self.linked_two_way(folder, item):
            if after.reminder or w.in_reminders(item.key):
                # The default folder's pass leaves an item alone while a
                # reminder of it is due, but the master's pass carries it back
                # if it happens to list the master item: either may come first.
                return "a reminder of it is due"
        return None

    def change_item(self, masters_only=False, subject_only=False, skip_keys=(), offline=False, copied_only=False):
        """Changes an item; returns its key, None when no item can be
        changed."""
        r = self.rng
        w = self.world
        choices = self.candidates(masters_only, copied_only)
        r.shuffle(choices)
        for folder, item in choices:
            if item.key in skip_keys or (offline and not self.hears_offline_changes(folder)):
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
                    and not subject_only and (c.reminder or self.reminder_allowed(folder, after.cats))):
                after = replace(after, reminder=not c.reminder)
                words.append("reminder" if after.reminder else "no-reminder")
            if after.reminder and not self.reminder_allowed(folder, after.cats):
                continue
            if self.why_not_change(folder, item, after):
                continue
            if subject_only and job and job.both and job.category not in c.cats:
                continue  # the job's category goes onto it with a save that may fail
            name = self.name_of(folder, item)
            self.emit(f"change {name} " + " ".join(words))
            return item.key
        return None

    def hears_offline_changes(self, folder):
        """An Exchange folder that never saved a synchronisation state takes
        what it holds at the next start as its starting point: a change made
        while Outlook was closed does not reach the other side."""
        return folder.kind == "pst" or folder.path in self.world.exchange_saved or \
            self.switches["offline-in-unsaved-exchange-folders"]

    def delete_item(self, masters_only=False, copied_only=False):
        r = self.rng
        choices = self.candidates(masters_only, copied_only)
        r.shuffle(choices)
        for folder, item in choices:
            if folder.kind == "exchange" and item.made_by_addin and not self.switches["exchange-copy-deletions"]:
                continue
            if self.in_other_master(folder, item) and not self.switches["shared-item-deletions"]:
                continue
            if self.two_way_pst_pair(folder, item) and not self.switches["two-way-deletions"]:
                continue
            name = self.name_of(folder, item)
            self.emit(f"delete {name}")
            return True
        return False

    def user_action(self, kind, masters_only=False):
        """One action of the user; the seconds to wait for it, None when
        there was nothing to do."""
        if kind == "add":
            for _ in range(self.rng.choice([1, 1, 2])):
                self.add_item(masters_only=masters_only)
            return 25
        if kind == "change":
            return 25 if self.change_item(masters_only=masters_only) else None
        return 40 if self.delete_item(masters_only=masters_only) else None

    def failure(self):
        """A wrapper operation fails once or a few times before the user's
        next action: the add-in tries again, and the outcome is the same as
        without the failure. Only writes fail, which an idle Exchange run
        does not make, so the failure meets the work the action causes."""
        r = self.rng
        w = self.world
        if not self.switches["exchange-failures"] and any(f.kind == "exchange" for f in w.synchronised()):
            return None
        op = r.choice(["Message.Save", "Message.CopyTo", "Message.Save", "Items.Find", "Message.Delete"])
        count = r.choice([1, 1, 2])
        masters_only = not self.switches["default-folder-failures"]
        at = len(self.script.lines)
        # The action certainly calls the operation: it changes or deletes an
        # item whose copy exists. A failure that no call met would stay armed
        # and meet a later step's work instead. The change is of the subject
        # alone: a category written with a save that fails is lost by rule
        # (the save's result is not tested).
        if op == "Message.Delete":
            done = self.delete_item(masters_only=masters_only, copied_only=True)
        else:
            done = self.change_item(masters_only=masters_only, subject_only=True, copied_only=True)
        if not done:
            return None
        # From the next call on, so that the failure meets this action's work
        # (written before the action's lines).
        self.script.lines.insert(at, f"fail {op} nth=1 count={count}")
        self.script.failures_since_start = True
        self.failed = True
        # A failed deletion waits for the next forced deleted-items search;
        # each failed pass for the next forced pass.
        return 620 * count if op == "Message.Delete" else 130 * count

    def offline(self):
        """Outlook is closed while the user changes and adds items. (Only
        items that were there before: the add-in makes no copy meanwhile.)
        An Exchange folder hears of them at its first forced run, after its
        lock time."""
        self.emit("quit")
        changed = set()
        for _ in range(self.rng.choice([0, 1, 2])):
            # One change per item and its copies: two would meet as a
            # conflict, and the add-in would not see the first one.
            key = self.change_item(skip_keys=changed, offline=True)
            if key:
                changed.add(key)
        for _ in range(self.rng.choice([0, 1, 1])):
            self.add_item(offline=True)
        self.emit("start")
        return 70

    def step(self):
        r = self.rng
        kind = r.choices(["add", "change", "delete", "restart", "reload", "fail", "offline"],
                         [40, 30, 18, 7, 5, 8, 6])[0]
        if kind in ("restart", "reload"):
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


def generate(seed, switches=None):
    return Generator(seed, switches).run()
