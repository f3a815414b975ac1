"""Makes the hub's database and administrator when Kestrova makes the hub,
and adds another administrator from Kestrova's setup dialog.

The pseudonym and the password come on standard input, separated by a NUL
byte (or, from the Windows build, in KESTROVA_ADMIN_PSEUDO and
KESTROVA_ADMIN_PASSWORD): never on a command line. The keeper's name, which
is no secret, may come in KESTROVA_ADMIN_NAME. A pseudonym already taken is
refused: an administrator is never overwritten.
"""

import os
import sys

from django.contrib.auth import get_user_model
from django.contrib.auth.password_validation import validate_password
from django.core.exceptions import ValidationError
from django.core.management import call_command
from django.core.management.base import BaseCommand, CommandError
from django.utils import translation


class Command(BaseCommand):
    help = "Crée le super-utilisateur du hub (pseudo et mot de passe lus sur l'entrée standard)."

    def handle(self, *args, **options):
        translation.activate("fr")
        if "KESTROVA_ADMIN_PASSWORD" in os.environ:
            pseudonym = os.environ.get("KESTROVA_ADMIN_PSEUDO", "")
            password = os.environ["KESTROVA_ADMIN_PASSWORD"]
        else:
            given = sys.stdin.buffer.read().decode("utf-8", "surrogateescape")
            pseudonym, _, password = given.partition("\0")
        users = get_user_model()
        user = users(username=pseudonym, first_name=os.environ.get("KESTROVA_ADMIN_NAME", "")[:150])
        try:
            user.clean_fields(exclude=["password", "last_login"])
        except ValidationError as error:
            raise CommandError("Pseudo refusé : " + " ".join(error.messages))
        try:
            validate_password(password, user)
        except ValidationError as error:
            raise CommandError("Mot de passe refusé : " + " ".join(error.messages))
        # One Python for both steps: the keeper waits for the save.
        call_command("migrate", interactive=False, verbosity=0)
        if users.objects.filter(**{users.USERNAME_FIELD: pseudonym}).exists():
            taken = users._meta.get_field(users.USERNAME_FIELD).error_messages["unique"]
            raise CommandError("Pseudo refusé : " + str(taken))
        users.objects.create_superuser(pseudonym, "", password, first_name=user.first_name)
