from django.apps import AppConfig


class HubsConfig(AppConfig):
    # "NAME.hubs", whatever NAME the project was provisioned with.
    name = __name__.rpartition(".")[0]
    label = "hubs"
    verbose_name = "Hub Kestrova"
    default_auto_field = "django.db.models.BigAutoField"

    def ready(self):
        # The running hub announces itself to the members' Kestrova.
        from . import announce

        announce.start()
