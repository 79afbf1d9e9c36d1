"""What the synchronised folders must hold once the add-in has settled.

The model follows the user's actions on a world of one default store and one
to three master folders and works out, rule by rule, what the add-in makes of
them: copies from a master into its default folder with the job's category,
items filed in a default folder with a job's category going to that job's
master, changes carried over, deletions followed. It knows only the outcome,
none of the passes, threads or timings that lead to it.

Where the add-in's rules leave an outcome open, the generator does not make
that step (`World.why_not_*` say why); where it depends on timing alone, the
item is held as "maybe" until a later step settles it.

Folders outside every job (a store's Deleted Items, a folder the user files
items in) hold what the user moved or deleted there, so that it can come
back. A few rules have an earlier and a mended form (`World.rules` names the
mended ones in force): the generator makes a step that meets such a rule
only where both forms agree, or where the mended one is in force.
"""

from dataclasses import dataclass, field, replace

ITEM_KIND = {"contacts": "contact", "calendar": "appointment", "tasks": "task"}
DEFAULT_FOLDER_NAME = {"contacts": "Contacts", "calendar": "Calendar", "tasks": "Tasks"}


@dataclass(frozen=True)
class Content:
    """What a copy carries over from its source."""
    subject: str
    cats: tuple = ()
    sens: int = 0          # 0 normal, 1 personal, 2 private, 3 confidential
    reminder: bool = False
    request: bool = False  # a meeting or task request
    response: int = 0      # a request's response status (5: not responded)


@dataclass
class Item:
    key: int               # the sync id: the user's item and every copy of it share it
    content: Content
    name: str = ""         # the scenario's name for it, once it has one
    made_by_addin: bool = False
    maybe: bool = False    # the add-in may or may not have made it again yet


@dataclass
class Folder:
    path: str
    kind: str              # "pst" or "exchange"
    type: str              # "contacts", "calendar", "tasks"
    items: list = field(default_factory=list)

    def item(self, key):
        return next((i for i in self.items if i.key == key), None)


@dataclass
class Job:
    master: Folder
    category: str
    both: bool = False
    no_private: bool = False
    mark_private: bool = False
    no_requests: bool = False
    no_reminders: bool = False
    subfolder: bool = False
    filter: tuple = ()
    target: Folder = None


def cat2item(cats, category, job_categories):
    """The job's category put on an item: when the item lacks it, the
    categories of every job are taken off first (the first equal keyword of
    each) and the category is appended; an item that has it stays as it is."""
    if category in cats:
        return tuple(cats)
    cats = list(cats)
    for job_cat in job_categories:
        if job_cat in cats:
            cats.remove(job_cat)
    return tuple(cats + [category])


def passes(job, content):
    """The item filter: the job's filter categories (whole categories of the
    item), the NO_SYNC marker, requests, requests not responded to, and
    private items (private and confidential)."""
    text = ", ".join(content.cats)
    if job.filter and not any(f in content.cats for f in job.filter):
        return False
    if "NO_SYNC" in text.upper():
        return False
    if content.request and (job.no_requests or content.response == 5):
        return False
    if job.no_private and content.sens & 2:
        return False
    return True


def passes_as_copy(job, content):
    """The item filter for a default-folder item: where the job marks its
    copies private, that mark is the job's and is not held against it."""
    return passes(replace(job, no_private=False) if job.mark_private else job, content)


# The mended rules the model can follow:
#   refile   a default-folder item the user re-files from one two-way job to
#            another leaves the first job's master (it moved)
RULES = ("refile",)

DELETED_ITEMS = "Deleted Items"


def store_of(path):
    return path.split("/")[0]


class World:
    def __init__(self):
        self.default_store = ""   # the store that holds the default folders
        self.default_kind = ""    # its kind: "pst" or "exchange"
        self.folders = {}
        self.jobs = []
        self.next_key = 1
        self.started = False
        self.rules = set()

    # ----- the world as the scenario sets it up -----

    def folder(self, path, kind, type_):
        self.folders[path] = Folder(path, kind, type_)
        return self.folders[path]

    def default_folder_path(self, type_):
        return f"{self.default_store}/{DEFAULT_FOLDER_NAME[type_]}"

    def add_job(self, job):
        """The target is the default folder of the master's item type in the
        default store, or its subfolder named by the category."""
        path = self.default_folder_path(job.master.type)
        if job.subfolder:
            path += "/" + job.category
        job.target = self.folders.get(path) or self.folder(path, self.default_kind, job.master.type)
        self.jobs.append(job)

    def job_of_master(self, folder):
        return next((j for j in self.jobs if j.master is folder), None)

    def jobs_of_target(self, folder):
        return [j for j in self.jobs if j.target is folder]

    def job_by_category(self, category, type_):
        """The master whose category this is and whose item type is the
        default folder's; categories are compared exactly."""
        return next((j for j in self.jobs if j.category == category and j.master.type == type_), None)

    def synchronised(self):
        seen = []
        for j in self.jobs:
            for f in (j.master, j.target):
                if f not in seen:
                    seen.append(f)
        return seen

    def is_synchronised(self, folder):
        return any(f is folder for f in self.synchronised())

    def named(self, name):
        for f in self.folders.values():
            for i in f.items:
                if i.name == name:
                    return f, i
        raise KeyError(name)

    def bin_of(self, store):
        """The store's Deleted Items, outside every job."""
        path = f"{store}/{DELETED_ITEMS}"
        return self.folders.get(path) or self.folder(path, "", "")

    def in_bin(self, folder):
        return folder.path.startswith(f"{store_of(folder.path)}/{DELETED_ITEMS}")

    def snapshot(self):
        """What every folder holds, to compare two ways of following a step."""
        return {p: sorted((i.key, i.content.subject, i.content.cats, i.content.sens, i.content.reminder, i.maybe)
                          for i in f.items) for p, f in self.folders.items()}

    def in_reminders(self, key):
        """An active reminder belongs to some item with this sync id, in any
        store. (A reminder without a time is due at once.)"""
        return any(i.key == key and i.content.reminder and not i.maybe
                   for f in self.folders.values() for i in f.items)

    # ----- the user's actions -----

    def add(self, folder, name, content):
        item = Item(self.next_key, content, name)
        self.next_key += 1
        folder.items.append(item)
        if self.started:
            self._settle([(folder, item.key, None)])
        return item

    def change(self, name, **changes):
        folder, item = self.named(name)
        before = item.content
        item.content = replace(item.content, **changes)
        if "refile" in self.rules and not self.job_of_master(folder):
            # The user took a two-way job's category off its item: the item
            # has moved out of that job, and its master item goes (a
            # mailbox master's stays, left to that master's own run).
            for j in self.jobs_of_target(folder):
                if (j.both and j.master.kind != "exchange" and j.category in before.cats
                        and j.category not in item.content.cats):
                    self._delete_key(j.master, item.key)
        self._settle([(folder, item.key, None)])

    def delete(self, name, hard=False):
        """The user's delete: to the store's Deleted Items (hard, or from
        there already: for good)."""
        folder, item = self.named(name)
        folder.items.remove(item)
        if not hard and not self.in_bin(folder):
            # A new EntryID there: the scenario's name no longer reaches it.
            item.name = ""
            self.bin_of(store_of(folder.path)).items.append(item)
        if self.is_synchronised(folder):
            self._follow_deletion(folder, item.key)

    def move(self, name, path):
        """The user drags an item into another folder: it keeps its sync id
        and its time. It leaves its folder as a deletion; where it arrives,
        a pass sees it only by its time, so the generator changes it there
        at once (and the change settles it)."""
        folder, item = self.named(name)
        folder.items.remove(item)
        if self.is_synchronised(folder):
            self._follow_deletion(folder, item.key)
        item.made_by_addin = False  # it is the user's item where it is now
        self.folders[path].items.append(item)

    def run_from_nothing(self, folder):
        """An Exchange folder without a sync state that it can go on from
        gets every item it holds as a change."""
        self._settle([(folder, i.key, None) for i in list(folder.items)])

    def delete_folder(self, path, hard=False):
        """A folder outside every job goes, with its items, to Deleted Items
        (hard: for good)."""
        folder = self.folders.pop(path)
        if not hard:
            bin_ = self.bin_of(store_of(path))
            moved = self.folder(f"{bin_.path}/{path.split('/')[-1]}", "", folder.type)
            moved.items = folder.items

    def empty_bin(self, store):
        for path in [p for p in self.folders if p.startswith(f"{store}/{DELETED_ITEMS}")]:
            if path == f"{store}/{DELETED_ITEMS}":
                self.folders[path].items.clear()
            else:
                del self.folders[path]

    def start(self):
        """The first start: a personal-folders master or default folder has
        no folder time yet, so its first pass looks at every item; an
        Exchange folder without a synchronisation state takes what it holds
        as its starting point, keeps it and hands none of it on."""
        self.started = True
        self._settle([(f, i.key, None) for f in self.synchronised() if f.kind == "pst" for i in f.items])

    def restart(self):
        """Folder times and synchronisation states survive: nothing moves."""

    def reload(self):
        """A page's Apply starts every personal-folder pass afresh, and an
        Exchange folder whose job did not change goes on from its saved
        state. A pair in step stays as it is: its newer side is the add-in's
        own write, which is not carried back. A copy that was waiting to be
        made again is made now, unless the filter refuses its master item
        by now: then the reset's pass makes none, and one that a pass made
        before the change is still there as it was."""
        for f in self.synchronised():
            for i in f.items:
                if i.maybe and self._refused_in_a_master(f, i.key):
                    continue
                i.maybe = False

    # ----- what the add-in does -----

    def _settle(self, dirty):
        """Carries every dirty item (folder, key, where the change came from)
        to the folders it belongs in, until nothing is left to carry."""
        while dirty:
            folder, key, source = dirty.pop(0)
            item = folder.item(key)
            if item is None or item.maybe:
                continue
            job = self.job_of_master(folder)
            if job:
                dirty += self._master_to_default(job, item, source)
            if self.jobs_of_target(folder):
                dirty += self._default_to_masters(folder, item, source)

    def _master_to_default(self, job, item, source):
        """A new or changed master item reaches the job's default folder."""
        target = job.target
        if source is target:
            return []  # the add-in's own copy from there
        if job.master.kind == "exchange" and not job.no_reminders and self.in_reminders(item.key):
            return []  # an item with an active reminder waits for its next change
        copy = target.item(item.key)
        if not passes(job, item.content):
            # The filter holds for changes too, in the master's pass and the
            # default folder's alike: an item made private, or marked
            # NO_SYNC, after its copy was made stops flowing, and its copy
            # stays as it was (one that may have been made again, too) until
            # the phone edits it.
            return []
        if copy is not None and copy.maybe:
            target.items.remove(copy)
            copy = None
        if job.both:
            item.content = replace(item.content, cats=cat2item(item.content.cats, job.category, self._job_categories()))
        content = self._to_default(job, item.content)
        if copy is None:
            copy = Item(item.key, content, made_by_addin=True)
            target.items.append(copy)
        else:
            if job.mark_private:
                # The job's mark goes on when a copy is made; a write over
                # an existing item keeps its private mark as it was (the
                # user's own item of a two-way pair, a copy the user made
                # public), beside the master item's own privacy.
                content = replace(content, sens=item.content.sens | (copy.content.sens & 2))
            copy.content = self._keep_origin_reminder(job, copy, content)
        return [(target, item.key, job.master)]

    def _default_to_masters(self, folder, item, source):
        """A default-folder item goes to each two-way job of its categories."""
        writes = []
        for category in item.content.cats:
            job = self.job_by_category(category, folder.type)
            if job is None or not job.both or job.master is source:
                continue
            if folder.kind == "pst" and self.in_reminders(item.key):
                return writes  # not touched while a reminder of it is due
            copy = job.master.item(item.key)
            if copy is None and not passes(job, item.content):
                continue
            if copy is not None and not passes(job, copy.content) and passes_as_copy(job, item.content):
                # The user's change took the master item out of the job: its
                # old copy is not written over it and leaves the default
                # folder, unless another job's category keeps it there.
                if not any(c != job.category and c in self._job_categories() for c in item.content.cats):
                    folder.items.remove(item)
                    return writes
                continue
            content = self._to_master(job, item.content)
            if copy is None:
                copy = Item(item.key, content, made_by_addin=True)
                job.master.items.append(copy)
            else:
                if job.mark_private:
                    # A default-folder item of such a job may be private by
                    # the job's mark alone: the master item keeps its own
                    # privacy.
                    content = replace(content, sens=copy.content.sens)
                copy.content = self._keep_origin_reminder(job, copy, content)
            writes.append((job.master, item.key, folder))
        return writes

    def _refused_in_a_master(self, target, key):
        """The master item of a copy in this default folder is one the
        job's filter refuses."""
        for j in self.jobs_of_target(target):
            master_item = j.master.item(key)
            if master_item is not None and not passes(j, master_item.content):
                return True
        return False

    def _job_categories(self):
        return [j.category for j in self.jobs]

    def _to_default(self, job, content):
        """A copy in the default folder carries the job's category, and is
        private when the job says so."""
        content = replace(content, cats=cat2item(content.cats, job.category, self._job_categories()))
        if job.mark_private:
            content = replace(content, sens=content.sens | 2)
        return self._without_reminder(job, content)

    def _to_master(self, job, content):
        return self._without_reminder(job, content)

    def _without_reminder(self, job, content):
        """With "no reminders" an appointment or task rings only on the side
        where it was made: its copies have no reminder."""
        if job.no_reminders and job.master.type != "contacts":
            return replace(content, reminder=False)
        return content

    def _keep_origin_reminder(self, job, counterpart, content):
        """The item on its origin side gets its own reminder back after a
        copy from the other side."""
        if job.no_reminders and job.master.type != "contacts" and not counterpart.made_by_addin:
            return replace(content, reminder=counterpart.content.reminder)
        return content

    def _follow_deletion(self, folder, key):
        """An item deleted in one folder takes its counterparts along: a
        master's copy in the default folder while the copy is the job's (it
        carries the job's category, or lies in the job's category
        subfolder), and with it the copies in the two-way masters whose
        categories it carried; a default-folder item's copies in every
        two-way master. A one-way master keeps its item."""
        job = self.job_of_master(folder)
        carried = None
        if job:
            copies = [i for i in job.target.items
                      if i.key == key and (job.subfolder or job.category in i.content.cats)]
            if not copies:
                return  # the copy is another job's now, or none: it stays
            carried = {c for i in copies for c in i.content.cats}
            job.target.items[:] = [i for i in job.target.items if i not in copies]
            folder = job.target
        for j in self.jobs_of_target(folder):
            if j.both and (carried is None or j.category in carried):
                self._delete_key(j.master, key)
        for j in self.jobs_of_target(folder):
            master_item = j.master.item(key)
            if j.both or master_item is None or j.master.kind != "pst" or not passes(j, master_item.content):
                continue  # (a master item the filter refuses gets no new copy)
            # The next pass that lists the master item makes the copy again:
            # at once when it is the master's newest item, else at its next
            # change or a reset. Until then it may be there or not.
            folder.items.append(Item(key, self._to_default(j, master_item.content), made_by_addin=True, maybe=True))

    def _delete_key(self, folder, key):
        folder.items[:] = [i for i in folder.items if i.key != key]
