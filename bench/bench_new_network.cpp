// The new network form's save: from the press of "Enregistrer le Reseau" to
// the new network's button on the main screen, against the same making run
// bare in a shell (django-admin, the copies, the database, the superuser,
// the rename, the registry line), in the same run; the save where the file
// system lacks the exclusive rename (NFS, FUSE) against the normal save; and
// the setup dialog's save of an administrator, against Django's own
// createsuperuser --noinput run bare on the same hub. No port, no network.
#include "bench_timing.h"
#include "networkselectionwindow.h"
#include "new_network_form.h"
#include "setupwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QEventLoop>
#include <QLabel>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

const int runs = bench_runs(5);

std::string bare_commands(const std::string& path)
{
    return "set -e; mkdir .t; cd .t; django-admin startproject " + path + "; cd ..; "
        "cp settings.py urls.py .t/" + path + "/" + path + "/; "
        "cp -r hubs ressources templates static .t/" + path + "/" + path + "/; "
        "printf 'Atelier %s' " + path + " > .t/" + path + "/" + path + "/nom_du_reseau.txt; "
        "(cd .t/" + path + " && printf 'gardienne\\0Vague-Salee-Quai-42' "
        "| KESTROVA_HUB_MAKING=1 python3 manage.py kestrova_admin); "
        "mv .t/" + path + " " + path + "; rmdir .t; "
        "printf 'Atelier %s|%s|\\n' " + path + " " + path + " >> networks.data";
}

bool has_button(QWidget& window, const QString& text)
{
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text() == text)
            return true;
    return false;
}

// The time from `start` until `seen` holds, or -1 after two minutes. Looks
// every 5 ms from the event loop, leaving the processors to the save.
double time_until(double start, const std::function<bool()>& seen)
{
    QEventLoop loop;
    QTimer look;
    double took = -1;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (seen())
            took = now_ms() - start;
        if (took >= 0 || now_ms() - start > 120000)
            loop.quit();
    });
    look.start(5);
    loop.exec();
    return took;
}

double timed_save(NetworkSelectionWindow& window, const std::string& path)
{
    window.clean_screen();
    window.new_network_mode();
    const QString name = QString("Atelier ") + path.c_str();
    const QString values[] = {name, path.c_str(), "gardienne", "Vague-Salee-Quai-42", "Vague-Salee-Quai-42"};
    for (int row = 0; row < 5; ++row)
        window.findChild<QLineEdit*>(new_network_field_names[row])->setText(values[row]);
    const double start = now_ms();
    window.findChild<QPushButton*>()->click();
    return time_until(start, [&] { return has_button(window, name); });
}

// Press to the dialog's word of success, for the registry's last network.
double timed_administrator(const std::string& pseudonym)
{
    SetupWindow dialog;
    auto* choice = dialog.findChild<QComboBox*>(setup_network_choice_name);
    choice->setCurrentIndex(choice->count() - 1);
    const QString values[] = {pseudonym.c_str(), "", "Phare-Rouge-Digue-17", "Phare-Rouge-Digue-17"};
    for (int row = 0; row < 4; ++row)
        dialog.findChild<QLineEdit*>(setup_field_names[row])->setText(values[row]);
    auto* message = dialog.findChild<QLabel*>(setup_message_name);
    const double start = now_ms();
    dialog.findChild<QPushButton*>()->click();
    return time_until(start, [&] { return message->text().contains(QString::fromUtf8("est enregistré")); });
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("PATH", "/usr/bin:" + qgetenv("PATH"));
    QApplication app(argc, argv);
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    for (const char* entry : {"settings.py", "urls.py", "hubs", "ressources", "templates", "static"})
        if (std::system(("cp -r '" KESTROVA_SOURCE_DIR "/template/" + std::string(entry) + "' .").c_str()) != 0)
            return 1;
    std::fclose(std::fopen("networks.data", "w"));

    NetworkSelectionWindow window;
    std::vector<double> bare;
    std::vector<double> saved;
    std::vector<double> fallback;
    for (int run = 0; run < runs; ++run) {
        const std::string bare_path = "nu" + std::to_string(run);
        const double start = now_ms();
        if (std::system(("sh -c \"" + bare_commands(bare_path) + "\" >/dev/null").c_str()) != 0)
            return 1;
        bare.push_back(now_ms() - start);
        const double took = timed_save(window, "atelier" + std::to_string(run));
        if (took < 0)
            return 1;
        saved.push_back(took);
        qputenv("KESTROVA_REFUSE_EXCLUSIVE_RENAME", "1");
        const double without = timed_save(window, "repli" + std::to_string(run));
        qunsetenv("KESTROVA_REFUSE_EXCLUSIVE_RENAME");
        if (without < 0)
            return 1;
        fallback.push_back(without);
    }
    std::printf("new network save: %.2f x the bare commands (<= 1.2 wanted)\n", median(saved) / median(bare));
    std::printf("  press to new button %.0f ms, bare shell commands %.0f ms (medians of %d)\n", median(saved),
                median(bare), runs);
    std::printf("save without the exclusive rename: %.2f x the normal save (<= 1.2 wanted)\n",
                median(fallback) / median(saved));
    std::printf("  %.0f ms against %.0f ms (medians of %d)\n", median(fallback), median(saved), runs);

    std::vector<double> bare_admin;
    std::vector<double> dialog_admin;
    for (int run = 0; run < runs; ++run) {
        const double start = now_ms();
        const std::string command = "cd atelier0 && DJANGO_SUPERUSER_PASSWORD=Phare-Rouge-Digue-17 python3 manage.py "
                                    "createsuperuser --noinput --username nu" + std::to_string(run) + " --email nu@atelier.invalid >/dev/null";
        if (std::system(command.c_str()) != 0)
            return 1;
        bare_admin.push_back(now_ms() - start);
        const double took = timed_administrator("veilleur" + std::to_string(run));
        if (took < 0)
            return 1;
        dialog_admin.push_back(took);
    }
    std::printf("setup save: %.2f x Django's createsuperuser --noinput (<= 1.2 wanted)\n",
                median(dialog_admin) / median(bare_admin));
    std::printf("  press to success %.0f ms, bare createsuperuser %.0f ms (medians of %d)\n", median(dialog_admin),
                median(bare_admin), runs);
    return 0;
}
