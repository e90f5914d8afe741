import QtQuick
import QtQuick.Controls
import "../common"

// A tab whose screen has not been built yet: its title and nothing else.
Page {
    id: page
    header: ScreenHeader { title: page.title }
}
