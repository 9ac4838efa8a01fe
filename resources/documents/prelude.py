# Shared start of every document script.
import os
import shutil
import sys
import uuid


def save_replacing(path, save):
    """Saves through `save(tmp_path)` to a sibling file, then renames it over
    `path`, so a failed save never leaves a half-written document behind."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    tmp = os.path.join(folder, ".vivirov_doc_" + str(uuid.uuid4()).upper() + os.path.splitext(name)[1])
    try:
        save(tmp)
        try:
            shutil.copymode(target, tmp)
        except OSError:
            pass
        os.replace(tmp, target)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)

